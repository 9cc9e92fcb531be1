// Whole runs over complete volumes: which sectors a relabel rewrites, what it
// writes there, what a query reports, and that nothing else changes.
#include <gtest/gtest.h>

#include <cctype>
#include <functional>

#include "image_builder.h"
#include "run_tool.h"

namespace {

using builder::FsdAddress;
using builder::Image;
using builder::Layout;

constexpr uint32_t kBlock = 2048;

// A volume and what the tool must make of it.
struct Scenario {
  std::string name;
  Image image;
  std::vector<uint32_t> rewritten;  // sectors a relabel rewrites
  std::string label;                // what a query prints before the relabel
  bool file_set_reached = true;     // a File Set Descriptor location is known: "Done!"
  bool file_set_rewritten = true;   // the query after the relabel shows the new label
};

// NSR03 recognition and the anchor: main sequence at 32, reserve at 48,
// 16 sectors each unless said otherwise.
Image base_image(uint32_t sectors, std::string_view nsr = "NSR03", uint32_t main = 32,
                 uint32_t main_sectors = 16, uint32_t reserve = 48) {
  Image image = builder::blank_image(sectors);
  builder::write_vrs(&image, {"BEA01", nsr, "TEA01"});
  builder::write_anchor(&image, main, main_sectors, reserve, 16);
  return image;
}

// A whole sequence at `first`: PVD, IUVD, PD 0 at 300, LVD, USD, TD.
void sequence(Image* image, uint32_t first, FsdAddress fsd, const std::vector<std::string>& maps,
              std::string_view label = "Old") {
  builder::write_pvd(image, first, label);
  builder::write_iuvd(image, first + 1, label);
  builder::write_pd(image, first + 2, 0, 300, 300);
  builder::write_lvd(image, first + 3, label, fsd, maps);
  builder::write_usd(image, first + 4);
  builder::write_td(image, first + 5);
}

// The sectors rewritten in a sequence written by sequence().
std::vector<uint32_t> sequence_sectors(uint32_t first) { return {first, first + 1, first + 3}; }

Scenario from_layout(std::string name, Layout layout, std::string label) {
  return Scenario{std::move(name), std::move(layout.image), std::move(layout.label_sectors), std::move(label)};
}

Scenario plain() { return from_layout("plain physical partition", builder::plain_layout("Old"), "Old"); }

Scenario sample_volume() {
  return from_layout("the sample volume: LVID, three anchors, a file", builder::sample_layout("Old"), "Old");
}

Scenario metadata_mirror_elsewhere() {
  Scenario s = from_layout("metadata partition, mirror elsewhere", builder::metadata_layout("Old"), "Old");
  builder::write_fsd(&s.image, 410, "Mirror", "Mirror");  // query reads the main copy
  return s;
}

Scenario metadata_mirror_same_sector() {
  return from_layout("metadata partition, mirror on the same sector", builder::metadata_layout("Old", true),
                     "Old");
}

Scenario extended_file_entries() {
  Scenario s = metadata_mirror_elsewhere();
  s.name = "metadata files as Extended File Entries with L_EA 32 and long_ad";
  builder::write_file_entry(&s.image, 300, {true, 1, 32, {{2, 5 * kBlock}}, 0});
  builder::write_file_entry(&s.image, 400, {true, 1, 32, {{110, 5 * kBlock}}, 0});
  return s;
}

Scenario embedded_metadata() {
  Scenario s = metadata_mirror_elsewhere();
  s.name = "metadata file with embedded data";
  builder::write_file_entry(&s.image, 300, {false, 3, 0, {}, 4});
  builder::write_file_entry(&s.image, 400, {false, 3, 0, {}, 4});
  // Block 0 maps to sector 0, which holds no descriptor: nothing is written.
  s.rewritten = builder::sorted_sectors({sequence_sectors(32), sequence_sectors(48)});
  s.label = "";
  s.file_set_rewritten = false;
  return s;
}

Scenario nsr02_two_maps() {
  Scenario s{"NSR02 volume with two partition maps", base_image(600, "NSR02"), {}, "At Block"};
  const std::vector<std::string> maps = {builder::type1_map(0),
                                         builder::type2_map("*UDF Sparable Partition", 0)};
  const FsdAddress fsd{kBlock, 280, 1};
  // Main sequence: the walk ends at the LVD, so the IUVD after it stays.
  builder::write_pvd(&s.image, 32, "Old");
  builder::write_pd(&s.image, 33, 0, 300, 300);
  builder::write_lvd(&s.image, 34, "Old", fsd, maps);
  builder::write_iuvd(&s.image, 35, "Old");
  builder::write_td(&s.image, 36);
  sequence(&s.image, 48, fsd, maps);
  // The maps are not decoded: the block number is taken as a sector number.
  builder::write_fsd(&s.image, 280, "At Block", "At Block");
  builder::write_fsd(&s.image, 580, "In Partition", "In Partition");
  s.rewritten = builder::sorted_sectors({{32, 34}, sequence_sectors(48), {280}});
  return s;
}

Scenario unfollowed_partition(std::string name, std::string_view identifier) {
  Scenario s{std::move(name), base_image(400), {}, ""};
  const std::vector<std::string> maps = {builder::type1_map(0), builder::type2_map(identifier, 0)};
  sequence(&s.image, 32, {kBlock, 0, 1}, maps);
  sequence(&s.image, 48, {kBlock, 0, 1}, maps);
  builder::write_fsd(&s.image, 300, "Old", "Old");
  s.rewritten = builder::sorted_sectors({sequence_sectors(32), sequence_sectors(48)});
  s.file_set_rewritten = false;
  return s;
}

Scenario no_logical_volume() {
  Scenario s{"no Logical Volume Descriptor", base_image(400), {}, ""};
  for (uint32_t first : {32u, 48u}) {
    builder::write_pvd(&s.image, first, "Old");
    builder::write_iuvd(&s.image, first + 1, "Old");
    builder::write_td(&s.image, first + 2);
  }
  builder::write_fsd(&s.image, 300, "Old", "Old");
  s.rewritten = {32, 33, 48, 49};
  s.file_set_reached = false;
  s.file_set_rewritten = false;
  return s;
}

Scenario two_logical_volumes() {
  Scenario s{"two Logical Volume Descriptors in the main sequence", base_image(400), {}, "Second"};
  builder::write_pvd(&s.image, 32, "Old");
  builder::write_pd(&s.image, 33, 0, 300, 40);
  builder::write_pd(&s.image, 34, 1, 350, 40);
  builder::write_lvd(&s.image, 35, "Old", {0, 9, 0}, {builder::type1_map(0)});  // no location
  builder::write_lvd(&s.image, 36, "Old", {kBlock, 0, 0}, {builder::type1_map(0)});
  builder::write_lvd(&s.image, 37, "Old", {kBlock, 5, 0}, {builder::type1_map(1)});
  builder::write_td(&s.image, 38);
  sequence(&s.image, 48, {kBlock, 7, 0}, {builder::type1_map(0)});
  // Location from the first LVD with one (block 0), table from the last (partition 1).
  builder::write_fsd(&s.image, 350, "Second", "Second");
  builder::write_fsd(&s.image, 300, "First", "First");
  builder::write_fsd(&s.image, 355, "Decoy", "Decoy");
  s.rewritten = builder::sorted_sectors({{32, 35, 36, 37}, sequence_sectors(48), {350}});
  return s;
}

Scenario seven_partition_descriptors() {
  Scenario s{"seven Partition Descriptors", base_image(600), {}, "At Block"};
  builder::write_pvd(&s.image, 32, "Old");
  for (uint16_t n = 0; n < 7; ++n) builder::write_pd(&s.image, 33 + n, n, n == 6 ? 300 : 1000 + n, 10);
  builder::write_lvd(&s.image, 40, "Old", {kBlock, 270, 0}, {builder::type1_map(6)});
  builder::write_td(&s.image, 41);
  sequence(&s.image, 48, {kBlock, 270, 0}, {builder::type1_map(6)});
  // The seventh is dropped: partition 6 keeps start 0.
  builder::write_fsd(&s.image, 270, "At Block", "At Block");
  builder::write_fsd(&s.image, 570, "In Partition", "In Partition");
  s.rewritten = builder::sorted_sectors({{32, 40}, sequence_sectors(48), {270}});
  return s;
}

Scenario early_terminator() {
  Scenario s{"Terminating Descriptor fourth in the sequence", base_image(400), {}, "Old"};
  builder::write_pvd(&s.image, 32, "Old");
  builder::write_pd(&s.image, 33, 0, 300, 40);
  builder::write_lvd(&s.image, 34, "Old", {kBlock, 0, 0}, {builder::type1_map(0)});
  builder::write_td(&s.image, 35);
  builder::write_pvd(&s.image, 36, "After");
  builder::write_iuvd(&s.image, 37, "After");
  sequence(&s.image, 48, {kBlock, 0, 0}, {builder::type1_map(0)});
  builder::write_fsd(&s.image, 300, "Old", "Old");
  s.rewritten = builder::sorted_sectors({{32, 34}, sequence_sectors(48), {300}});
  return s;
}

Scenario long_sequence() {
  Scenario s{"sequence of 20 sectors", base_image(400, "NSR03", 32, 20, 64), {}, "Old"};
  builder::write_pvd(&s.image, 32, "Old");
  builder::write_pd(&s.image, 33, 0, 300, 40);
  for (uint32_t n = 34; n < 48; ++n) builder::write_usd(&s.image, n);
  builder::write_iuvd(&s.image, 48, "Old");  // first sector of the second chunk
  builder::write_lvd(&s.image, 49, "Old", {kBlock, 0, 0}, {builder::type1_map(0)});
  builder::write_td(&s.image, 50);
  sequence(&s.image, 64, {kBlock, 0, 0}, {builder::type1_map(0)});
  builder::write_fsd(&s.image, 300, "Old", "Old");
  s.rewritten = builder::sorted_sectors({{32, 48, 49}, sequence_sectors(64), {300}});
  return s;
}

Scenario unreadable_second_chunk() {
  Scenario s{"second chunk of the main sequence beyond the image", base_image(400, "NSR03", 384, 32), {},
             "At Block"};
  builder::write_pvd(&s.image, 384, "Old");
  builder::write_iuvd(&s.image, 385, "Old");
  builder::write_pd(&s.image, 386, 0, 300, 40);
  builder::write_lvd(&s.image, 387, "Old", {kBlock, 290, 0}, {builder::type1_map(0)});
  for (uint32_t n = 388; n < 400; ++n) builder::write_usd(&s.image, n);
  sequence(&s.image, 48, {kBlock, 290, 0}, {builder::type1_map(0)});
  // No matching: partition 0 keeps start 0.
  builder::write_fsd(&s.image, 290, "At Block", "At Block");
  builder::write_fsd(&s.image, 300, "Decoy", "Decoy");
  s.rewritten = builder::sorted_sectors({{384, 385, 387}, sequence_sectors(48), {290}});
  return s;
}

Scenario image_ends_inside_chunk() {
  Scenario s{"image ending inside the main sequence's chunk", base_image(400, "NSR03", 392, 16), {}, "Old"};
  builder::write_pvd(&s.image, 392, "Old");
  builder::write_iuvd(&s.image, 393, "Old");
  builder::write_pd(&s.image, 394, 0, 300, 40);
  builder::write_lvd(&s.image, 395, "Old", {kBlock, 0, 0}, {builder::type1_map(0)});
  for (uint32_t n = 396; n < 400; ++n) builder::write_usd(&s.image, n);
  // The recognition scan leaves sector 24 in the sector buffer's slot 8: a
  // stale descriptor there must not be taken for this chunk's and written.
  builder::write_pvd(&s.image, 24, "Stale");
  // The reserve sequence's Partition Descriptors do not change the table.
  builder::write_pvd(&s.image, 48, "Old");
  builder::write_pd(&s.image, 49, 0, 100, 40);
  builder::write_td(&s.image, 50);
  builder::write_fsd(&s.image, 300, "Old", "Old");
  s.rewritten = {48, 392, 393, 395, 300};
  std::sort(s.rewritten.begin(), s.rewritten.end());
  return s;
}

Scenario iso9660_bridge() {
  Scenario s = plain();
  s.name = "ISO 9660 volume descriptor beside UDF";
  for (uint32_t n = 16; n < 19; ++n) std::fill_n(builder::sector(&s.image, n).begin(), kBlock, 0);
  builder::write_vrs(&s.image, {"CD001", "CD001", "BEA01", "NSR03", "TEA01"});
  auto pvd = builder::sector(&s.image, 16);
  pvd[0] = 1;
  builder::put_bytes(pvd, 40, "ISO_LABEL                       ");
  builder::sector(&s.image, 17)[0] = 255;
  return s;
}

Scenario foreign_implementation_use() {
  Scenario s = plain();
  s.name = "Implementation Use Volume Descriptor of another implementation";
  builder::write_iuvd(&s.image, 33, "Old", "*Some Other Implementation");
  s.rewritten = {32, 35, 48, 49, 51, 300};
  return s;
}

Scenario unknown_partition_reference() {
  Scenario s{"File Set Descriptor in a partition the table lacks", base_image(400), {}, ""};
  sequence(&s.image, 32, {kBlock, 0, 5}, {builder::type1_map(0)});
  sequence(&s.image, 48, {kBlock, 0, 5}, {builder::type1_map(0)});
  builder::write_fsd(&s.image, 300, "Old", "Old");
  s.rewritten = builder::sorted_sectors({sequence_sectors(32), sequence_sectors(48)});
  s.file_set_rewritten = false;
  return s;
}

Scenario location_from_reserve() {
  Scenario s{"Logical Volume Descriptor only in the reserve sequence", base_image(400), {}, ""};
  builder::write_pvd(&s.image, 32, "Old");
  builder::write_td(&s.image, 33);
  sequence(&s.image, 48, {kBlock, 0, 0}, {builder::type1_map(0)});
  builder::write_fsd(&s.image, 300, "Old", "Old");
  // The location is known but no table was built: no File Set Descriptor step.
  s.rewritten = builder::sorted_sectors({{32}, sequence_sectors(48)});
  s.file_set_rewritten = false;
  return s;
}

const std::function<Scenario()> kScenarios[] = {
    plain,
    sample_volume,
    metadata_mirror_elsewhere,
    metadata_mirror_same_sector,
    extended_file_entries,
    embedded_metadata,
    nsr02_two_maps,
    [] { return unfollowed_partition("virtual partition", "*UDF Virtual Partition"); },
    [] { return unfollowed_partition("sparable partition", "*UDF Sparable Partition"); },
    no_logical_volume,
    two_logical_volumes,
    seven_partition_descriptors,
    early_terminator,
    long_sequence,
    unreadable_second_chunk,
    image_ends_inside_chunk,
    iso9660_bridge,
    foreign_implementation_use,
    unknown_partition_reference,
    location_from_reserve,
};

// The d-strings the new label must appear as in each kind of rewritten descriptor.
struct Expected {
  std::string id32;
  std::string id128;
  std::string shown;  // what a query prints afterwards
};

void expect_rewritten_fields(std::span<const uint8_t> d, const Expected& e, const std::string& where) {
  auto field = [&](size_t offset, size_t size) {
    return std::string(d.begin() + static_cast<ptrdiff_t>(offset), d.begin() + static_cast<ptrdiff_t>(offset + size));
  };
  const std::string cs0 = builder::cs0_charspec();
  switch (builder::get_u16(d, 0)) {
    case 1:
      EXPECT_EQ(field(24, 32), e.id32) << where;
      EXPECT_EQ(field(200, 64), cs0) << where;
      break;
    case 4:
      EXPECT_EQ(field(116, 128), e.id128) << where;
      EXPECT_EQ(field(52, 64), cs0) << where;
      EXPECT_EQ(field(244, 36), builder::dstring8("LVInfo1", 36)) << where;
      break;
    case 6:
      EXPECT_EQ(field(84, 128), e.id128) << where;
      EXPECT_EQ(field(20, 64), cs0) << where;
      break;
    case 256:
      EXPECT_EQ(field(112, 128), e.id128) << where;
      EXPECT_EQ(field(304, 32), e.id32) << where;
      EXPECT_EQ(field(48, 64), cs0) << where;
      EXPECT_EQ(field(240, 64), cs0) << where;
      break;
    default:
      ADD_FAILURE() << where << ": a descriptor that carries no label was rewritten";
  }
}

void check_scenario(const Scenario& s, const std::string& label, const Expected& e) {
  SCOPED_TRACE(s.name + ", label '" + label + "'");
  TempDir dir;
  const std::string path = dir.file("volume.iso");
  ASSERT_TRUE(builder::write_file(path, s.image));

  ToolResult r = run_tool({path});
  EXPECT_EQ(r.out, "Volume label of " + path + ": " + s.label + "\n");
  EXPECT_EQ(r.status, 0);
  ASSERT_EQ(builder::read_file(path).bytes, s.image.bytes) << "a query wrote to the image";

  r = run_tool({path, label});
  EXPECT_EQ(r.out, as_narrow_output("Changing " + path + " volume label to '" + label + "'\n") +
                       (s.file_set_reached ? "Done!\n" : ""));
  EXPECT_EQ(r.status, 0);
  const Image after = builder::read_file(path);
  EXPECT_EQ(builder::changed_sectors(s.image, after), s.rewritten);
  for (uint32_t n : s.rewritten) {
    const auto d = builder::sector(after, n);
    EXPECT_TRUE(builder::tag_is_valid(d)) << "sector " << n;
    expect_rewritten_fields(d, e, "sector " + std::to_string(n));
  }

  r = run_tool({path});
  EXPECT_EQ(r.out, "Volume label of " + path + ": " + (s.file_set_rewritten ? e.shown : s.label) + "\n");
}

class Volumes : public testing::TestWithParam<size_t> {};

TEST_P(Volumes, RelabelRewritesExactlyTheLabelSectors) {
  check_scenario(kScenarios[GetParam()](), "The Monkey",
                 {builder::dstring8("The Monkey", 32), builder::dstring8("The Monkey", 128), "The Monkey"});
}

INSTANTIATE_TEST_SUITE_P(AllLayouts, Volumes, testing::Range<size_t>(0, std::size(kScenarios)),
                         [](const testing::TestParamInfo<size_t>& param) {
                           std::string name;
                           for (char c : kScenarios[param.param]().name) {
                             if (std::isalnum(static_cast<unsigned char>(c)) != 0) name.push_back(c);
                           }
                           return name;
                         });

std::string letters(size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s.push_back(static_cast<char>('a' + i % 26));
  return s;
}

TEST(Labels, EachFormAndCutReachesEveryField) {
  const std::u16string unicode = u"\u00DCn\u00EFc\u00F8d\u00E9 \u2603 \u65E5\u672C";
  const struct {
    std::string label;
    Expected expected;
  } cases[] = {
      {"Ünïcødé ☃ 日本", {builder::dstring16(unicode, 32), builder::dstring16(unicode, 128), "Ünïcødé ☃ 日本"}},
      {"Ünïcødé", {builder::dstring8("\xDCn\xEF" "c\xF8" "d\xE9", 32),
                   builder::dstring8("\xDCn\xEF" "c\xF8" "d\xE9", 128), "Ünïcødé"}},
      {"", {std::string(32, '\0'), std::string(128, '\0'), ""}},
      {letters(40), {builder::dstring8(letters(30), 32), builder::dstring8(letters(40), 128), letters(40)}},
      {letters(127), {builder::dstring8(letters(30), 32), builder::dstring8(letters(126), 128), letters(126)}},
  };
  for (const auto& c : cases) {
    check_scenario(plain(), c.label, c.expected);
    check_scenario(metadata_mirror_elsewhere(), c.label, c.expected);
  }
}

}  // namespace
