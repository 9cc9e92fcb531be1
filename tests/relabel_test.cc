// Whole runs over complete volumes: which sectors a relabel rewrites, what it
// writes there, what a query reports, and that nothing else changes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <functional>

#include "image_builder.h"
#include "run_tool.h"
#include "fuzz/seed_volumes.h"

namespace {

using builder::FsdAddress;
using builder::Image;
using builder::Layout;
using builder::VatForm;

constexpr uint32_t kBlock = 2048;

// A volume and what the tool must make of it.
struct Scenario {
  std::string name;
  Image image;
  std::vector<uint32_t> rewritten;  // sectors a relabel rewrites
  std::string label;                // what a query prints before the relabel
  std::string lines = "Done!\n";    // what follows the relabel's "Changing" line; exit 0 only with "Done!"
  bool file_set_rewritten = true;   // the query after the relabel shows the new label
};

const std::string kNotFound = "File Set Descriptor not found\n";

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
  builder::write_fsd(&s.image, 410, "Mirror", "Mirror", 0);  // query reads the main copy
  return s;
}

Scenario metadata_mirror_same_sector() {
  return from_layout("metadata partition, mirror on the same sector", builder::metadata_layout("Old", true),
                     "Old");
}

Scenario extended_file_entries() {
  Scenario s = metadata_mirror_elsewhere();
  s.name = "metadata files as Extended File Entries with L_EA 32 and long_ad";
  builder::write_file_entry(&s.image, 300, {true, 1, 32, {{2, 5 * kBlock}}, 0, 250, {}, {}, 0, 0});
  builder::write_file_entry(&s.image, 400, {true, 1, 32, {{110, 5 * kBlock}}, 0, 250, {}, {}, 0, 100});
  return s;
}

Scenario embedded_metadata() {
  Scenario s = metadata_mirror_elsewhere();
  s.name = "metadata file with embedded data";
  builder::write_file_entry(&s.image, 300, {false, 3, 0, {}, 4, 250, {}, {}, 0, 0});
  builder::write_file_entry(&s.image, 400, {false, 3, 0, {}, 4, 250, {}, {}, 0, 100});
  // Block 0 maps to sector 0, which holds no descriptor: the query falls
  // back to the LVD's identifier, which the relabel rewrites.
  s.rewritten = builder::sorted_sectors({sequence_sectors(32), sequence_sectors(48)});
  s.lines = kNotFound;
  return s;
}

Scenario nsr02_two_maps() {
  Scenario s{"NSR02 volume with two partition maps", base_image(600, "NSR02"), {}, "In Partition"};
  const std::vector<std::string> maps = {builder::type1_map(0),
                                         builder::type2_map("*UDF Sparable Partition", 0)};
  const FsdAddress fsd{kBlock, 280, 1};
  // Main sequence: walked to its end, the IUVD after the LVD too.
  builder::write_pvd(&s.image, 32, "Old");
  builder::write_pd(&s.image, 33, 0, 300, 300);
  builder::write_lvd(&s.image, 34, "Old", fsd, maps);
  builder::write_iuvd(&s.image, 35, "Old");
  builder::write_td(&s.image, 36);
  sequence(&s.image, 48, fsd, maps);
  // The maps are decoded: a sparable partition without sparing tables
  // remaps nothing, so block 280 lies at sector 580.
  builder::write_fsd(&s.image, 280, "At Block", "At Block", 280);
  builder::write_fsd(&s.image, 580, "In Partition", "In Partition", 280);
  s.rewritten = builder::sorted_sectors({{32, 34, 35}, sequence_sectors(48), {580}});
  return s;
}

// A second map of type 2 sharing partition 0, the File Set Descriptor at its
// block 0. Without a VAT a virtual partition maps nothing; a sparable one
// without sparing tables maps block 0 to sector 300.
Scenario second_map(std::string name, std::string_view identifier, bool maps_block) {
  Scenario s{std::move(name), base_image(400), {}, "Old"};
  const std::vector<std::string> maps = {builder::type1_map(0), builder::type2_map(identifier, 0)};
  sequence(&s.image, 32, {kBlock, 0, 1}, maps);
  sequence(&s.image, 48, {kBlock, 0, 1}, maps);
  builder::write_fsd(&s.image, 300, "Old", "Old", 0);
  s.rewritten = builder::sorted_sectors({sequence_sectors(32), sequence_sectors(48), maps_block ? std::vector<uint32_t>{300} : std::vector<uint32_t>{}});
  if (!maps_block) s.lines = kNotFound;
  return s;
}

Scenario no_logical_volume() {
  Scenario s{"no Logical Volume Descriptor", base_image(400), {}, ""};
  for (uint32_t first : {32u, 48u}) {
    builder::write_pvd(&s.image, first, "Old");
    builder::write_iuvd(&s.image, first + 1, "Old");
    builder::write_td(&s.image, first + 2);
  }
  builder::write_fsd(&s.image, 300, "Old", "Old", 0);
  s.rewritten = {32, 33, 48, 49};
  s.lines = kNotFound;
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
  builder::write_fsd(&s.image, 350, "Second", "Second", 0);
  builder::write_fsd(&s.image, 300, "First", "First", 0);
  builder::write_fsd(&s.image, 355, "Decoy", "Decoy", 5);
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
  builder::write_fsd(&s.image, 270, "At Block", "At Block", 270);
  builder::write_fsd(&s.image, 570, "In Partition", "In Partition", 270);
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
  builder::write_fsd(&s.image, 300, "Old", "Old", 0);
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
  builder::write_fsd(&s.image, 300, "Old", "Old", 0);
  s.rewritten = builder::sorted_sectors({{32, 48, 49}, sequence_sectors(64), {300}});
  return s;
}

Scenario unreadable_second_chunk() {
  Scenario s{"second chunk of the main sequence beyond the image", base_image(400, "NSR03", 384, 32), {},
             "Old"};
  builder::write_pvd(&s.image, 384, "Old");
  builder::write_iuvd(&s.image, 385, "Old");
  builder::write_pd(&s.image, 386, 0, 300, 40);
  builder::write_lvd(&s.image, 387, "Old", {kBlock, 290, 0}, {builder::type1_map(0)});
  for (uint32_t n = 388; n < 400; ++n) builder::write_usd(&s.image, n);
  sequence(&s.image, 48, {kBlock, 290, 0}, {builder::type1_map(0)});
  // Partition 0 starts at 300 as its descriptors say: block 290 lies past
  // the image's end, and neither decoy is taken.
  builder::write_fsd(&s.image, 290, "At Block", "At Block", 290);
  builder::write_fsd(&s.image, 300, "Decoy", "Decoy", 290);
  s.rewritten = builder::sorted_sectors({{384, 385, 387}, sequence_sectors(48)});
  s.lines = kNotFound;
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
  builder::write_fsd(&s.image, 300, "Old", "Old", 0);
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
  Scenario s{"File Set Descriptor in a partition the table lacks", base_image(400), {}, "Old"};
  sequence(&s.image, 32, {kBlock, 0, 5}, {builder::type1_map(0)});
  sequence(&s.image, 48, {kBlock, 0, 5}, {builder::type1_map(0)});
  builder::write_fsd(&s.image, 300, "Old", "Old", 0);
  s.rewritten = builder::sorted_sectors({sequence_sectors(32), sequence_sectors(48)});
  s.lines = kNotFound;
  return s;
}

Scenario location_from_reserve() {
  Scenario s{"Logical Volume Descriptor only in the reserve sequence", base_image(400), {}, "Old"};
  builder::write_pvd(&s.image, 32, "Old");
  builder::write_td(&s.image, 33);
  sequence(&s.image, 48, {kBlock, 0, 0}, {builder::type1_map(0)});
  builder::write_fsd(&s.image, 300, "Old", "Old", 0);
  // The maps and the partition come from the reserve sequence.
  s.rewritten = builder::sorted_sectors({{32}, sequence_sectors(48), {300}});
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
    [] { return second_map("virtual partition", "*UDF Virtual Partition", false); },
    [] { return second_map("sparable partition", "*UDF Sparable Partition", true); },
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

  // Incomplete, the relabel writes nothing, unless forced.
  const std::string changing = as_narrow_output("Changing " + path + " volume label to '" + label + "'\n");
  const bool complete = s.lines.ends_with("Done!\n");
  r = run_tool({path, label});
  if (!complete) {
    EXPECT_EQ(r.out, changing + s.lines + "Nothing written (--force writes the copies that verify)\n");
    ASSERT_EQ(builder::read_file(path).bytes, s.image.bytes) << "an incomplete relabel wrote";
    r = run_tool({"--force", path, label});
  }
  EXPECT_EQ(r.out, changing + s.lines);
  EXPECT_EQ(r.status, complete ? 0 : 1);
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
      // Cut at 15 units, the pair that would be cut goes whole.
      {letters(14) + "\U0001F600", {builder::dstring16(u"abcdefghijklmn", 32),
                                    builder::dstring16(u"abcdefghijklmn\U0001F600", 128), letters(14) + "\U0001F600"}},
  };
  for (const auto& c : cases) {
    check_scenario(plain(), c.label, c.expected);
    check_scenario(metadata_mirror_elsewhere(), c.label, c.expected);
  }
}

// Volumes of every block size, verified descriptors, sparable and virtual
// partitions: a query, a relabel to "New" and a second
// query on each, the relabel's lines checked whole.

enum class Damage { Checksum, Crc, Location };

void set_tag_checksum(std::span<uint8_t> d) {
  uint32_t sum = 0;
  for (size_t i = 0; i < 16; ++i) sum += i == 4 ? 0 : d[i];
  d[4] = static_cast<uint8_t>(sum);
}

// Block `n` made to fail verification one way, its contents otherwise kept.
void damage(Image* image, uint32_t n, Damage how) {
  auto d = builder::sector(image, n);
  switch (how) {
    case Damage::Checksum:
      d[4] = static_cast<uint8_t>(d[4] + 1);
      break;
    case Damage::Crc:
      builder::put_u16(d, 8, static_cast<uint16_t>(builder::get_u16(d, 8) ^ 0x0100));
      set_tag_checksum(d);
      break;
    case Damage::Location:
      builder::finish_tag(d, builder::get_u16(d, 0), builder::get_u32(d, 12) + 1, builder::get_u16(d, 10));
      break;
  }
}

Layout without(Layout layout, std::initializer_list<uint32_t> blocks) {
  std::erase_if(layout.label_sectors, [&](uint32_t n) { return std::find(blocks.begin(), blocks.end(), n) != blocks.end(); });
  return layout;
}

// plain_layout whose File Set Descriptor says "Set Label" and the rest "Old".
Layout plain_with_set_label(uint32_t block = kBlock) {
  Layout layout = builder::plain_layout("Old", block);
  builder::write_fsd(&layout.image, 300, "Set Label", "Set Label", 0);
  return layout;
}

// The main LVD gives the File Set Descriptor at block 50 (a decoy at 350)
// and is damaged: the reserve's block 0 is used.
Layout damaged_main_lvd_with_other_maps() {
  Layout layout = plain_with_set_label();
  builder::write_lvd(&layout.image, 35, "Old", {kBlock, 50, 0}, {builder::type1_map(0)});
  builder::write_fsd(&layout.image, 350, "Decoy", "Decoy", 50);
  damage(&layout.image, 35, Damage::Crc);
  return layout;
}

// Anchors only at the blocks `at` of plain_layout grown to 600 blocks.
Layout anchored_at(std::initializer_list<uint32_t> at) {
  Layout layout = plain_with_set_label();
  builder::sector(&layout.image, 599);
  std::fill_n(builder::sector(&layout.image, 256).begin(), kBlock, 0);
  for (uint32_t n : at) builder::write_anchor(&layout.image, 32, 16, 48, 16, n);
  return layout;
}

// Two volumes in one image, "Small" with blocks of 512 and "Large" with
// blocks of `large_block` (its sequences from byte 262144, past "Small"),
// each with a verified anchor at its block 256; the recognition sequence
// `vrs` at a stride of 2048 (an empty identifier with Structure Version 0)
// decides which is UDF. The layout counts blocks of `winner`.
Layout two_block_sizes(std::initializer_list<std::string_view> vrs, uint32_t winner,
                       uint32_t large_block = 4096) {
  Image small = builder::blank_image(400, 512);
  std::vector<uint32_t> small_blocks = builder::write_sequences(
      &small, {.label = "Small", .main = 160, .reserve = 176, .fsd = {512, 0, 0}});
  builder::write_fsd(&small, 300, "Small", "Small", 0);
  small_blocks.push_back(300);
  Image large = builder::blank_image(400, large_block);
  const uint32_t main = 262144 / large_block;
  std::vector<uint32_t> large_blocks = builder::write_sequences(
      &large, {.label = "Large", .main = main, .reserve = main + 16, .fsd = {large_block, 0, 0}});
  builder::write_fsd(&large, 300, "Large", "Large", 0);
  large_blocks.push_back(300);
  std::copy(small.bytes.begin(), small.bytes.end(), large.bytes.begin());
  builder::write_vrs(&large, vrs, 2048);
  size_t k = 0;
  for (std::string_view identifier : vrs) {
    if (identifier.empty()) large.bytes[32768 + 2048 * k + 6] = 0;  // Structure Version 0 ends the scan
    ++k;
  }
  large.block = winner;
  return {std::move(large), winner == 512 ? small_blocks : large_blocks};
}

// The sparable layout whose first sparing table maps packet 0 to 416, where
// "Second Entry" waits, and is damaged.
Layout damaged_first_sparing_table(uint32_t block, Damage how) {
  Layout layout = builder::sparable_layout("Old", block);
  std::vector<builder::SparingEntry> entries(60, builder::SparingEntry{0xFFFFFFFF, 432});
  entries.push_back({0, 416});
  builder::write_sparing_table(&layout.image, 260, entries);
  damage(&layout.image, 260, how);
  return layout;
}

// The virtual layout followed by `junk` blocks that are not all zero but no
// File Entry, then `zeros` zero blocks.
Layout vat_before_end(uint32_t junk, uint32_t zeros) {
  Layout layout = builder::virtual_layout("Old", VatForm::Embedded200);
  for (uint32_t k = 0; k < junk; ++k) std::fill_n(builder::sector(&layout.image, 400 + k).begin(), 100, 0xA5);
  if (zeros != 0) builder::sector(&layout.image, 400 + junk + zeros - 1);
  if (junk > 3) layout.label_sectors = {32, 33, 35, 48, 49, 51};
  return layout;
}

// The 2.00 VAT's data in two extents, its first 64 bytes at block 397 and
// the rest at 398: the Logical Volume Identifier spans two blocks.
Layout split_vat_identifier() {
  Layout layout = builder::virtual_layout("Old", VatForm::InBlock200);
  const std::string data = builder::vat200_data("Old", {5, 0xFFFFFFFF, 7});
  builder::put_bytes(builder::sector(&layout.image, 397), 0, std::string_view(data).substr(0, 64));
  std::fill_n(builder::sector(&layout.image, 398).begin(), kBlock, 0);
  builder::put_bytes(builder::sector(&layout.image, 398), 0, std::string_view(data).substr(64));
  builder::write_file_entry(&layout.image, 399,
                            {.extents = {{97, 64}, {98, static_cast<uint32_t>(data.size() - 64)}},
                             .file_type = 248, .information_length = data.size(), .location = 99});
  return without(std::move(layout), {398});
}

// damaged_first_sparing_table whose map declares 52 bytes, room for the
// first table location alone: the second table is not read, and nothing is
// remapped.
Layout sparing_location_past_map_length() {
  Layout layout = damaged_first_sparing_table(kBlock, Damage::Crc);
  for (uint32_t n : layout.label_sectors) {
    auto d = builder::sector(&layout.image, n);
    if (builder::get_u16(d, 0) != 6) continue;
    d[440 + 1] = 52;
    builder::finish_tag(d, 6, n, builder::get_u16(d, 10));
  }
  std::replace(layout.label_sectors.begin(), layout.label_sectors.end(), 403u, 303u);
  return layout;
}

// The embedded 2.00 VAT's File Entry at 399 bent by `bend` and its tag made
// valid for `location`; the partition starting at `start`. Only the
// sequences are left to rewrite.
Layout bent_vat(uint32_t start, uint32_t location, size_t at, uint32_t value) {
  Layout layout = builder::virtual_layout("Old", VatForm::Embedded200);
  auto fe = builder::sector(&layout.image, 399);
  builder::put_u32(fe, at, value);
  builder::finish_tag(fe, 261, location, builder::get_u16(fe, 10));
  for (uint32_t n = 0; n < 100; ++n) {
    auto d = builder::sector(&layout.image, n);
    if (builder::get_u16(d, 0) != 5) continue;
    builder::put_u32(d, 188, start);
    builder::finish_tag(d, 5, n, builder::get_u16(d, 10));
  }
  std::erase_if(layout.label_sectors, [](uint32_t n) { return n >= 300; });
  return layout;
}

struct VolumeRun {
  std::string name;
  std::function<Layout()> make;  // the image and the blocks a relabel changes
  std::string label;              // what the first query prints
  std::string relabel = "Done!\n";  // what follows the "Changing" line; exit 0 only with "Done!"
  std::vector<uint32_t> untagged = {};  // changed blocks that hold no descriptor (VAT data)
};

const std::string kDone = "Done!\n";
const std::string kNoFileSet = "File Set Descriptor not found\n";
const std::string kNothingWritten = "Nothing written (--force writes the copies that verify)\n";
std::string damaged_line(uint32_t n) { return "Damaged descriptor at block " + std::to_string(n) + " left unchanged\n"; }
std::string repaired_line(uint32_t n, uint32_t from) {
  return "Repaired descriptor at block " + std::to_string(n) + " from block " + std::to_string(from) + "\n";
}

std::vector<VolumeRun> runs() {
  std::vector<VolumeRun> r;
  for (uint32_t b : {512u, 1024u, 2048u, 4096u, 8192u, 32768u}) {
    r.push_back({"plain layout, blocks of " + std::to_string(b), [b] { return plain_with_set_label(b); },
                 "Set Label"});
  }
  r.push_back({"512 and 4096 anchors, sequence at stride 2048: 512 wins",
               [] { return two_block_sizes({"BEA01", "NSR03", "TEA01"}, 512); }, "Small"});
  r.push_back({"512 and 4096 anchors, sequence at stride 4096: 4096 wins",
               [] { return two_block_sizes({"BEA01", "", "NSR03", "", "TEA01"}, 4096); }, "Large"});
  r.push_back({"512 and 4096 anchors, sequence at both strides: the smaller wins",
               [] { return two_block_sizes({"BEA01", "NSR03", "NSR03", "NSR03", "TEA01"}, 512); }, "Small"});
  r.push_back({"512 and 2048 anchors, one sequence serving both: 512 wins",
               [] { return two_block_sizes({"BEA01", "NSR03", "TEA01"}, 512, 2048); }, "Small"});
  r.push_back({"anchor only at 512", [] { return anchored_at({512}); }, "Set Label"});
  r.push_back({"anchor only at N - 256", [] { return anchored_at({344}); }, "Set Label"});
  r.push_back({"anchor only at N - 1", [] { return anchored_at({599}); }, "Set Label"});
  r.push_back({"damaged anchor at 256, good one at N - 1",
               [] {
                 Layout layout = anchored_at({256, 599});
                 damage(&layout.image, 256, Damage::Crc);
                 return layout;
               },
               "Set Label"});
  const struct {
    const char* role;
    uint32_t block;
    const char* label;  // the query's: the File Set Descriptor's, else the LVD's
  } roles[] = {{"PVD", 32, "Set Label"}, {"IUVD", 33, "Set Label"}, {"LVD", 35, "Set Label"}, {"FSD", 300, "Old"}};
  const struct {
    const char* name;
    Damage how;
  } damages[] = {{"checksum", Damage::Checksum}, {"CRC", Damage::Crc}, {"location", Damage::Location}};
  // A damaged volume descriptor is mended from its twin in the other
  // sequence; the single File Set Descriptor has none.
  for (const auto& role : roles) {
    for (const auto& d : damages) {
      const bool mended = role.block != 300;
      r.push_back({std::string("wrong ") + d.name + " in the main " + role.role,
                   [n = role.block, how = d.how, mended] {
                     Layout layout = plain_with_set_label();
                     damage(&layout.image, n, how);
                     return mended ? layout : without(std::move(layout), {n});
                   },
                   role.label, mended ? repaired_line(role.block, role.block + 16) + kDone : damaged_line(role.block)});
    }
  }
  r.push_back({"wrong CRC in the reserve IUVD",
               [] {
                 Layout layout = plain_with_set_label();
                 damage(&layout.image, 49, Damage::Crc);
                 return layout;
               },
               "Set Label", repaired_line(49, 33) + kDone});
  r.push_back({"wrong CRC in the main IUVD, an LVD in its place in the reserve: not mended from that", [] {
                 Layout layout = builder::virtual_layout("Old", VatForm::Udf150);
                 damage(&layout.image, 35, Damage::Crc);
                 return without(std::move(layout), {35}); }, "Old", damaged_line(35)});
  r.push_back({"damaged main LVD: the reserve's File Set Descriptor location and maps, and mended from it",
               damaged_main_lvd_with_other_maps, "Set Label", repaired_line(35, 51) + kDone});
  r.push_back({"CRC Length above B - 16 in the main PVD",
               [] {
                 Layout layout = plain_with_set_label();
                 auto d = builder::sector(&layout.image, 32);
                 builder::finish_tag(d, 1, 32, 496);
                 builder::put_u16(d, 10, 2033);
                 set_tag_checksum(d);
                 return layout;
               },
               "Set Label", repaired_line(32, 48) + kDone});
  r.push_back({"two Partition Descriptors for partition 0 in the main sequence: the later one maps",
               [] {
                 Layout layout = plain_with_set_label();
                 builder::write_pd(&layout.image, 34, 0, 100, 100);
                 builder::write_pd(&layout.image, 36, 0, 300, 100);  // in the USD's place
                 return layout;
               },
               "Set Label"});
  r.push_back({"no File Set Descriptor at its block",
               [] {
                 Layout layout = plain_with_set_label();
                 std::fill_n(builder::sector(&layout.image, 300).begin(), kBlock, 0);
                 return without(std::move(layout), {300});
               },
               "Old", kNoFileSet});
  r.push_back({"a Primary Volume Descriptor where the File Set Descriptor should be",
               [] {
                 Layout layout = plain_with_set_label();
                 std::fill_n(builder::sector(&layout.image, 300).begin(), kBlock, 0);
                 builder::write_pvd(&layout.image, 300, "Not A Set");
                 return without(std::move(layout), {300});
               },
               "Old", kNoFileSet});
  r.push_back({"File Set Descriptor in a partition the maps lack",
               [] {
                 Layout layout = plain_with_set_label();
                 for (uint32_t n : {35u, 51u}) {
                   builder::write_lvd(&layout.image, n, "Old", {kBlock, 0, 5}, {builder::type1_map(0)});
                 }
                 return without(std::move(layout), {300});
               },
               "Old", kNoFileSet});

  // Sparable partitions.
  for (uint32_t b : {512u, 2048u, 4096u}) {
    r.push_back({"sparable, packet holding the File Set Descriptor remapped, blocks of " + std::to_string(b),
                 [b] { return builder::sparable_layout("Old", b); }, "Old"});
  }
  for (const auto& d : damages) {
    r.push_back({std::string("first sparing table with a wrong ") + d.name + ", the second used",
                 [how = d.how] { return damaged_first_sparing_table(kBlock, how); }, "Old"});
  }
  r.push_back({"sparing table location past the map's length is not read", sparing_location_past_map_length,
               "Unmapped"});
  r.push_back({"first sparing table of two blocks damaged, blocks of 512",
               [] { return damaged_first_sparing_table(512, Damage::Crc); }, "Old"});
  // Virtual partitions.
  const struct {
    const char* name;
    VatForm form;
  } forms[] = {{"2.00 VAT embedded", VatForm::Embedded200},
               {"2.00 VAT in a data block", VatForm::InBlock200},
               {"1.50 VAT with its LVExtension, NSR02 with the IUVD after the LVD", VatForm::Udf150},
               {"1.50 VAT without an LVExtension", VatForm::Udf150Plain}};
  for (const auto& f : forms) {
    for (uint32_t b : {512u, 2048u, 4096u}) {
      r.push_back({std::string(f.name) + ", blocks of " + std::to_string(b),
                   [form = f.form, b] { return builder::virtual_layout("Old", form, b); }, "Old", kDone,
                   f.form == VatForm::InBlock200 ? std::vector<uint32_t>{398} : std::vector<uint32_t>{}});
    }
  }
  r.push_back({"VAT followed by 20 zero blocks", [] { return vat_before_end(0, 20); }, "Old"});
  r.push_back({"VAT three blocks before the last non-zero one", [] { return vat_before_end(3, 5); }, "Old"});
  r.push_back({"VAT four blocks before the last non-zero one", [] { return vat_before_end(4, 0); }, "Old",
               kNoFileSet});
  r.push_back({"VAT identifier across two data blocks", split_vat_identifier, "Old", damaged_line(399)});
  r.push_back({"VAT File Entry whose L_EA runs past its block",
               [] { return bent_vat(300, 99, 168, 4294967280u); }, "Old", kNoFileSet + damaged_line(399)});
  r.push_back({"VAT File Entry torn, its tag whole over an old body",
               [] {
                 Layout layout = bent_vat(300, 99, 168, 0);
                 builder::sector(&layout.image, 399)[200] ^= 0xFF;
                 return layout;
               },
               "Old", kNoFileSet + damaged_line(399)});
  // Two sessions, each with its own sequences, partition, File Set
  // Descriptor and VAT: both relabelled, the query shows the second.
  const std::vector<uint32_t> session = {32, 33, 35, 48, 49, 51, 305, 399};
  std::vector<uint32_t> both = session;
  for (uint32_t n : session) both.push_back(n + seeds::kSecondSession);
  r.push_back({"two sessions, a VAT each",
               [both] { return Layout{seeds::two_session_volume("Old", "Later"), both}; }, "Later"});
  r.push_back({"two sessions, the second's File Set Descriptor missing",
               [both] {
                 Layout layout{seeds::two_session_volume("Old", "Later"), both};
                 std::fill_n(builder::sector(&layout.image, 705).begin(), kBlock, 0);
                 std::erase(layout.label_sectors, 705u);
                 return layout;
               },
               "Later", "File Set Descriptor not found in session 2\n"});
  r.push_back({"two sessions, the second's VAT destroyed: looked for at its last non-zero block",
               [both] {
                 Layout layout{seeds::two_session_volume("Old", "Later"), {both.begin(), both.end() - 2}};
                 std::fill_n(builder::sector(&layout.image, 799).begin(), kBlock, 0);  // no File Set Descriptor
                 return layout;
               },
               "Later", "File Set Descriptor not found in session 2\nDamaged descriptor at block 705 left unchanged\n"});
  r.push_back({"File Entry below the partition's start, its tag made valid there, is no VAT",
               [] { return bent_vat(400, 0xFFFFFFFF, 168, 0); }, "Old", kNoFileSet});
  return r;
}

// A relabel to "New" changes a VAT block only in the Logical Volume
// Identifier, at byte 4 of the 2.00 VAT's data or byte 18 of the 1.50
// LVExtension's implementation use, and in a File Entry's tag.
void expect_vat_identifier(const Image& before, const Image& after, uint32_t n) {
  const auto old_block = builder::sector(before, n);
  const auto new_block = builder::sector(after, n);
  std::vector<uint8_t> expected(old_block.begin(), old_block.end());
  size_t at = builder::kVatIdentifierOffset;  // a data block
  if (builder::get_u16(old_block, 0) == 261) {
    at = 176 + (old_block[27] == 248 ? builder::get_u32(old_block, 168) + builder::kVatIdentifierOffset
                                     : builder::kLvExtensionIdentifier);
    for (size_t i : {4, 8, 9}) expected[i] = new_block[i];  // tag checksum and CRC
  }
  builder::put_bytes(expected, at, builder::dstring8("New", 128));
  const auto differs = std::mismatch(new_block.begin(), new_block.end(), expected.begin()).first;
  EXPECT_EQ(static_cast<size_t>(differs - new_block.begin()), new_block.size())
      << "first wrong byte of VAT block " << n;
}

class EveryVolume : public testing::TestWithParam<size_t> {};

TEST_P(EveryVolume, QueryRelabelAndQueryAgain) {
  const VolumeRun c = runs()[GetParam()];
  SCOPED_TRACE(c.name);
  const Layout layout = c.make();
  const Image& before = layout.image;
  TempDir dir;
  const std::string path = dir.file("volume.img");
  ASSERT_TRUE(builder::write_file(path, before));

  ToolResult r = run_tool({path});
  EXPECT_EQ(r.out, "Volume label of " + path + ": " + c.label + "\n");
  EXPECT_EQ(r.status, 0);
  ASSERT_EQ(builder::read_file(path).bytes, before.bytes) << "a query wrote to the image";

  // A relabel that cannot rewrite every copy writes nothing, unless forced
  // to write the copies that verify.
  const bool complete = c.relabel.ends_with(kDone);
  r = run_tool({path, "New"});
  EXPECT_EQ(r.out, "Changing " + path + " volume label to 'New'\n" + c.relabel + (complete ? "" : kNothingWritten));
  EXPECT_EQ(r.status, complete ? 0 : 1);
  if (!complete) {
    ASSERT_EQ(builder::read_file(path).bytes, before.bytes) << "an incomplete relabel wrote";
    r = run_tool({"--force", path, "New"});
    EXPECT_EQ(r.out, "Changing " + path + " volume label to 'New'\n" + c.relabel);
    EXPECT_EQ(r.status, 1);
  }
  const Image after = builder::read_file(path, before.block);
  EXPECT_EQ(builder::changed_sectors(before, after), layout.label_sectors);
  for (uint32_t n : layout.label_sectors) {
    if (std::find(c.untagged.begin(), c.untagged.end(), n) != c.untagged.end()) {
      expect_vat_identifier(before, after, n);
      continue;
    }
    const auto d = builder::sector(after, n);
    EXPECT_TRUE(builder::tag_is_valid(d)) << "block " << n;
    // A mended copy takes its own block as its Tag Location.
    const bool mended = c.relabel.find("Repaired descriptor at block " + std::to_string(n) + " ") != std::string::npos;
    EXPECT_EQ(builder::get_u32(d, 12), mended ? n : builder::get_u32(builder::sector(before, n), 12)) << "block " << n;
    if (builder::get_u16(d, 0) == 261) expect_vat_identifier(before, after, n);
  }
  EXPECT_EQ(run_tool({path}).out, "Volume label of " + path + ": New\n");
}

INSTANTIATE_TEST_SUITE_P(BlockSizesAndPartitions, EveryVolume, testing::Range<size_t>(0, runs().size()),
                         [](const testing::TestParamInfo<size_t>& param) {
                           std::string name;
                           const std::vector<VolumeRun> all = runs();
                           for (char c : all[param.param].name) {
                             if (std::isalnum(static_cast<unsigned char>(c)) != 0) name.push_back(c);
                           }
                           return name;
                         });


// Each identifier option alone, and all of them with a label and a UUID, on
// a volume of each partition kind: the Changing line, exactly the blocks of
// the descriptors that carry the field (each verifying), and the query's
// report showing the new value.
TEST(Identifiers, EachOptionRewritesTheDescriptorsThatCarryItsField) {
  const struct {
    std::vector<std::string> args;
    std::string changing;          // after "Changing PATH "
    std::vector<uint16_t> tags;    // of the descriptors rewritten; 261 for the VAT
    std::string shown;             // in the -v report afterwards
  } rows[] = {
      {{"--uuid", "0123456789ABCDEF"}, "UUID to '0123456789abcdef'", {1}, "UUID: 0123456789abcdef\n"},
      {{"--vid", "Vid"}, "Volume Identifier to 'Vid'", {1}, "Volume Identifier: Vid\n"},
      {{"--lvid=Lvid"}, "Logical Volume Identifier to 'Lvid'", {4, 6, 256, 261}, "Logical Volume Identifier: Lvid\n"},
      {{"--fsid", std::string(40, 'f')}, "File Set Identifier to '" + std::string(30, 'f') + "'", {256},
       "File Set Identifier: " + std::string(30, 'f') + "\n"},
      {{"--vsid", "Tail"}, "Volume Set Identifier to 'Tail'", {1}, "Volume Set Identifier: Builder Volume STail\n"},
      {{"--fullvsid", "Ω"}, "Volume Set Identifier to 'Ω'", {1}, "Volume Set Identifier: Ω\n"},
      {{"--owner", "Owner"}, "owner to 'Owner'", {4}, "Owner: Owner\n"},
      {{"--organization", "Org"}, "organization to 'Org'", {4}, "Organization: Org\n"},
      {{"--contact", "Contact"}, "contact to 'Contact'", {4}, "Contact: Contact\n"},
      {{"--appid", "*App"}, "Application Identifier to '*App'", {1}, "Application: *App\n"},
      {{"--impid", "*Imp"}, "Implementation Identifier to '*Imp'", {1}, "Implementation: *Imp\n"},
      {{"--write-protect", "on"}, "write protection to on", {6, 256}, "Write protection: soft\n"},
  };
  const struct {
    const char* name;
    Layout layout;
  } volumes[] = {{"physical", builder::plain_layout("Old")},
                 {"sparable", builder::sparable_layout("Old")},
                 {"virtual", builder::virtual_layout("Old", VatForm::Embedded200)},
                 {"metadata", builder::metadata_layout("Old")}};
  for (const auto& v : volumes) {
    std::vector<std::string> all = {"-v", "-u", "0123456789abcdef"};
    for (const auto& row : rows) {
      SCOPED_TRACE(std::string(v.name) + " " + row.args[0]);
      if (row.args[0] != "--uuid" && row.args[0] != "--fullvsid") all.insert(all.end(), row.args.begin(), row.args.end());
      TempDir dir;
      const std::string path = dir.file("volume.img");
      ASSERT_TRUE(builder::write_file(path, v.layout.image));
      std::vector<std::string> args = row.args;
      args.push_back(path);
      EXPECT_EQ(run_tool(args).out, as_narrow_output("Changing " + path + " " + row.changing + "\nDone!\n"));
      const Image after = builder::read_file(path);
      std::vector<uint32_t> carriers;
      for (uint32_t n : v.layout.label_sectors) {
        const uint16_t tag = builder::get_u16(builder::sector(v.layout.image, n), 0);
        const bool vat = tag != 1 && tag != 4 && tag != 6 && tag != 256;
        if (std::count(row.tags.begin(), row.tags.end(), vat ? 261 : tag) != 0) carriers.push_back(n);
      }
      EXPECT_EQ(builder::changed_sectors(v.layout.image, after), carriers);
      for (uint32_t n : carriers) {
        const auto d = builder::sector(after, n);
        EXPECT_TRUE(builder::get_u16(d, 0) > 261 || builder::tag_is_valid(d)) << n;  // a VAT data block has no tag
      }
      EXPECT_NE(run_tool({"-v", path}).out.find(row.shown), std::string::npos);
      if (row.args[0] == "--fullvsid") {  // too short now to keep a UUID: refused, nothing written
        EXPECT_EQ(run_tool({"--vsid", "X", path}).out, "--vsid needs a Volume Set Identifier of 16 characters or more (-u sets them)\n");
        EXPECT_EQ(builder::read_file(path).bytes, after.bytes);
      }
    }
    // All together with a label and a UUID: every label-carrying block, each
    // listed once; the options win over the label for their fields.
    TempDir dir;
    const std::string path = dir.file("volume.img");
    ASSERT_TRUE(builder::write_file(path, v.layout.image));
    all.insert(all.end(), {path, "New"});
    const ToolResult r = run_tool(all);
    EXPECT_TRUE(r.out.ends_with("Done!\n")) << r.out;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 13 + static_cast<long>(v.layout.label_sectors.size()));
    EXPECT_EQ(builder::changed_sectors(v.layout.image, builder::read_file(path)), v.layout.label_sectors);
    const std::string report = run_tool({"-v", path}).out;
    for (const auto& row : rows) {
      const bool whole = row.args[0].find("vsid") == std::string::npos;
      EXPECT_TRUE(!whole || report.find(row.shown) != std::string::npos) << row.shown;
    }
  }
}

// Volumes no block size qualifies for: each run prints its one message,
// exits 1 and writes nothing.
TEST(NoBlockSize, EachCauseHasItsMessage) {
  const struct {
    const char* name;
    std::function<Image()> make;
    std::string message;  // PATH stands for the image's path
  } cases[] = {
      {"no anchor anywhere", [] { return anchored_at({}).image; }, "UDF anchor not found in: PATH\n"},
      {"anchor at 256 with the wrong tag location",
       [] {
         Layout layout = anchored_at({256});
         damage(&layout.image, 256, Damage::Location);
         return layout.image;
       },
       "UDF anchor not found in: PATH\n"},
      {"anchors at blocks no rule tries", [] { return anchored_at({257, 511, 598}).image; },
       "UDF anchor not found in: PATH\n"},
      {"no NSR descriptor",
       [] {
         Image image = builder::plain_layout("Old").image;
         builder::write_vrs(&image, {"BEA01", "CD001", "TEA01"});
         return image;
       },
       "UDF file system not found in: PATH\n"},
      {"image shorter than 257 blocks of 2048, no anchor",
       [] {
         Image image = builder::plain_layout("Old", 512).image;
         std::fill_n(builder::sector(&image, 256).begin(), 512, 0);
         return image;
       },
       "Failed to read ADVP!\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Image image = c.make();
    TempDir dir;
    const std::string path = dir.file("volume.img");
    ASSERT_TRUE(builder::write_file(path, image));
    std::string message = c.message;
    if (const size_t at = message.find("PATH"); at != std::string::npos) message.replace(at, 4, path);
    ToolResult r = run_tool({path});
    EXPECT_EQ(r.out, message);
    EXPECT_EQ(r.status, 1);
    r = run_tool({path, "New"});
    EXPECT_EQ(r.out, "Changing " + path + " volume label to 'New'\n" + message);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(builder::read_file(path).bytes == image.bytes) << "the image was written";
  }
}

// The label a query prints: the first verified File Set Descriptor copy's,
// even empty; else the first verified LVD's, main sequence first, even
// empty; else nothing. Exit 0 in every case.
TEST(QueryFallback, FileSetThenLogicalVolumeThenNothing) {
  const auto plain = [](std::string_view fsd, std::string_view main_lvd, std::string_view reserve_lvd) {
    Layout layout = builder::plain_layout("Old");
    builder::write_fsd(&layout.image, 300, fsd, fsd, 0);
    builder::write_lvd(&layout.image, 35, main_lvd, {kBlock, 0, 0}, {builder::type1_map(0)});
    builder::write_lvd(&layout.image, 51, reserve_lvd, {kBlock, 0, 0}, {builder::type1_map(0)});
    return layout.image;
  };
  const auto with_damage = [](Image image, std::initializer_list<uint32_t> blocks) {
    for (uint32_t n : blocks) damage(&image, n, Damage::Crc);
    return image;
  };
  const struct {
    const char* name;
    Image image;
    std::string label;
  } cases[] = {
      {"empty File Set Descriptor label", plain("", "Main", "Reserve"), ""},
      {"File Set Descriptor damaged", with_damage(plain("Set", "Main", "Reserve"), {300}), "Main"},
      {"File Set Descriptor and main LVD damaged", with_damage(plain("Set", "Main", "Reserve"), {300, 35}),
       "Reserve"},
      {"File Set Descriptor damaged, main LVD empty", with_damage(plain("Set", "", "Reserve"), {300}), ""},
      {"nothing verifies", with_damage(plain("Set", "Main", "Reserve"), {300, 35, 51}), ""},
      {"metadata file's copy damaged, the mirror's read",
       [] {
         Image image = builder::metadata_layout("Old").image;
         builder::write_fsd(&image, 410, "Mirror", "Mirror", 0);
         damage(&image, 302, Damage::Checksum);
         return image;
       }(),
       "Mirror"},
      {"metadata file's copy with an empty label",
       [] {
         Image image = builder::metadata_layout("Old").image;
         builder::write_fsd(&image, 302, "", "", 0);
         builder::write_fsd(&image, 410, "Mirror", "Mirror", 0);
         return image;
       }(),
       ""},
  };
  for (const auto& c : cases) {
    TempDir dir;
    const std::string path = dir.file("volume.img");
    ASSERT_TRUE(builder::write_file(path, c.image));
    const ToolResult r = run_tool({path});
    EXPECT_EQ(r.out, "Volume label of " + path + ": " + c.label + "\n") << c.name;
    EXPECT_EQ(r.status, 0) << c.name;
  }
}

// The VAT is looked for below a zero tail of fewer than 64 MiB, holes
// aside: a tail of real zeros of 64 MiB hides it, one a block shorter does
// not, and a hole of any size is skipped.
TEST(VatBehindZeroTail, SixtyFourMebibytesOfZerosHideIt) {
  constexpr uint64_t kLimit = uint64_t{64} << 20;
  const struct {
    const char* name;
    uint64_t zeros;  // written as data
    uint64_t hole;   // left as a hole after them
    std::string relabel;
  } cases[] = {
      {"zero tail one block short of 64 MiB", kLimit - kBlock, 0, kDone},
      {"zero tail of 64 MiB", kLimit, 0, kNoFileSet},
      {"hole of 8 GiB", 0, uint64_t{8} << 30, kDone},
      {"a block of zeros, then a hole of 8 GiB", kBlock, uint64_t{8} << 30, kDone},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // On Windows holes are told by FSCTL_QUERY_ALLOCATED_RANGES, which wine
    // does not answer as Windows does: the hole cases hold for Linux builds.
    if (c.hole != 0 && tool_is_windows_build()) continue;
    const Layout layout = builder::virtual_layout("Old", VatForm::Embedded200);
    TempDir dir;
    const std::string path = dir.file("volume.img");
    ASSERT_TRUE(builder::write_file(path, layout.image));
    {
      std::ofstream out(path, std::ios::binary | std::ios::app);
      const std::vector<char> zeros(1 << 20, 0);
      for (uint64_t left = c.zeros; left != 0;) {
        const uint64_t n = std::min<uint64_t>(left, zeros.size());
        out.write(zeros.data(), static_cast<std::streamsize>(n));
        left -= n;
      }
      ASSERT_TRUE(out.good());
    }
    const uint64_t size = layout.image.bytes.size() + c.zeros + c.hole;
    std::filesystem::resize_file(path, size);

    const bool found = c.relabel == kDone;
    ToolResult r = run_tool({path});
    EXPECT_EQ(r.out, "Volume label of " + path + ": Old\n");
    r = found ? run_tool({path, "New"}) : run_tool({"--force", path, "New"});
    EXPECT_EQ(r.out, "Changing " + path + " volume label to 'New'\n" + c.relabel);
    EXPECT_EQ(r.status, found ? 0 : 1);
    EXPECT_EQ(std::filesystem::file_size(path), size);
    Image head;
    head.bytes.resize(layout.image.bytes.size());
    std::ifstream(path, std::ios::binary).read(reinterpret_cast<char*>(head.bytes.data()),
                                               static_cast<std::streamsize>(head.bytes.size()));
    const std::vector<uint32_t> sequences = {32, 33, 35, 48, 49, 51};
    EXPECT_EQ(builder::changed_sectors(layout.image, head), found ? layout.label_sectors : sequences);
  }
}

}  // namespace
