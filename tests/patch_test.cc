// Label capture and descriptor rewriting, in process.
#include <gtest/gtest.h>

#include <string>

#include "image_builder.h"
#include "run_tool.h"
#include "udf/commit.h"
#include "udf/plan.h"
#include "udf/volume_id.h"

namespace {

std::array<uint8_t, 128> identifier(const std::string& bytes) {
  std::array<uint8_t, 128> d{};
  std::copy(bytes.begin(), bytes.end(), d.begin());
  return d;
}

TEST(DstringToUtf8, EightAndSixteenBitForms) {
  EXPECT_EQ(dstring_to_utf8(identifier(builder::dstring8("abc", 128))), "abc");
  EXPECT_EQ(dstring_to_utf8(identifier(builder::dstring16(u"\u65E5\u672C", 128))), "\u65E5\u672C");
  // Latin-1 bytes widen to their code points.
  EXPECT_EQ(dstring_to_utf8(identifier(builder::dstring8("\xE9t\xE9", 128))), "\u00E9t\u00E9");
}

TEST(DstringToUtf8, NothingForEmptyUnknownCharacterlessOrZeroLedIdentifiers) {
  auto unknown = identifier(builder::dstring8("abc", 128));
  unknown[0] = 9;
  auto no_characters = identifier("");
  no_characters[0] = 16;
  no_characters[127] = 1;
  for (const auto& d : {identifier(""), unknown, no_characters,
                        identifier(builder::dstring8(std::string("\0xyz", 4), 128))}) {
    EXPECT_EQ(dstring_to_utf8(d), "");
  }
}

TEST(DstringToUtf8, LengthBytesBeyondTheFieldAreCutTo126Characters) {
  for (int length : {128, 200, 255}) {
    auto d = identifier("");
    d[0] = 8;
    std::fill(d.begin() + 1, d.end(), 'q');
    d[127] = static_cast<uint8_t>(length);
    EXPECT_EQ(dstring_to_utf8(d), std::string(126, 'q'));
    d[0] = 16;
    EXPECT_EQ(dstring_characters(d).size(), 63u);
  }
}

using builder::dstring16, builder::dstring8;

std::string with_byte(std::string d, size_t at, uint8_t value) {
  d[at] = static_cast<char>(value);
  return d;
}

// Volume Set Identifiers and the UUID blkid 2.38 gives for each ("" none).
TEST(UuidFromVolumeSet, AgreesWithBlkid) {
  const std::pair<std::string, std::string> rows[] = {
      {dstring8("0123456789ABCDEFxyz", 128), "0123456789abcdef"},
      {dstring8("0123456789ABCDE", 128), "0123456738394142"},
      {dstring8("12345678\xE9\xE9\xE9\xE9\xE9", 128), "12345678c3a9c3a9"},
      {dstring16(u"012345678\u03A9abcdef", 128), "0123456738cea961"},
      {dstring16(u"01234567\U0001F600x", 128), "01234567f09f9880"},
      {dstring16(u"01234567\xD83Dx", 128), "01234567eda0bd78"},
      {with_byte(dstring8("0123456789abcdefgh", 128), 127, 200), "0123456789abcdef"},
      {with_byte(dstring8("0123456789abcdef", 128), 127, 9), "0123456700000000"},
      {with_byte(dstring16(u"0123456789abcdef", 128), 127, 16), ""},  // 7 characters
      {dstring16(u"\u03A9abcde", 128), ""},
      {dstring8(std::string("0123\0" "456789abcdef", 16), 128), ""},
      {with_byte(dstring8("0123456789abcdef", 128), 0, 9), ""},
  };
  for (const auto& [field, uuid] : rows) {
    EXPECT_EQ(uuid_from_volume_set(identifier(field)).value_or(""), uuid) << uuid;
  }
}

TEST(WriteVolumeSetUuid, KeepsTheFormWhenItHolds16CharactersElseWritesTheDigitsAlone) {
  const std::string digits = dstring8("fedcba9876543210", 128);
  const std::pair<std::string, std::string> rows[] = {
      {dstring8("0123456789abcdefLinuxUDF", 128), dstring8("fedcba9876543210LinuxUDF", 128)},
      {dstring16(u"\u03A9123456789abcdefXY", 128), dstring16(u"fedcba9876543210XY", 128)},
      {with_byte(dstring8(std::string(126, 'q'), 128), 127, 200),
       with_byte(dstring8("fedcba9876543210" + std::string(110, 'q'), 128), 127, 200)},
      {dstring8("short", 128), digits},
      {with_byte(dstring16(u"0123456789abcdef", 128), 127, 32), digits},
      {with_byte(dstring8("0123456789abcdefLinuxUDF", 128), 0, 9), digits},
  };
  for (const auto& [before, after] : rows) {
    std::vector<uint8_t> pvd(512, 0xEE);
    builder::put_bytes(pvd, 72, before);
    write_volume_set_uuid(pvd, *parse_uuid("FEDCBA9876543210"));
    EXPECT_EQ(std::string(pvd.begin() + 72, pvd.begin() + 200), after);
    EXPECT_EQ(pvd[71] & pvd[200], 0xEE);
  }
}

TEST(UdfRevision, IntegrityDomainAndTheirBounds) {
  struct Row { uint16_t tag; uint32_t partitions, use_length; uint16_t read, write;
               size_t size; uint16_t expected; };  // 0: none
  for (const Row& r : {Row{9, 1, 46, 0x150, 0x201, 2048, 0x201}, Row{9, 0, 46, 0x250, 0x150, 512, 0x250},
                       Row{9, 1, 44, 0x150, 0x150, 2048, 0}, Row{9, 246, 46, 0x150, 0x150, 2048, 0},
                       Row{9, 0x20000000, 46, 1, 1, 2048, 0}, Row{6, 1, 46, 0x150, 0x150, 2048, 0}}) {
    std::vector<uint8_t> lvid(r.size, 0);
    builder::put_u16(lvid, 0, r.tag);
    builder::put_u32(lvid, 72, r.partitions);
    builder::put_u32(lvid, 76, r.use_length);
    const uint64_t use = 80 + 8 * uint64_t{r.partitions} + 40;
    if (use + 4 <= r.size) builder::put_u32(lvid, static_cast<size_t>(use), r.read | uint32_t{r.write} << 16);
    EXPECT_EQ(integrity_revision(lvid).value_or(0), r.expected) << r.partitions;
  }
  std::vector<uint8_t> lvd(512, 0);
  builder::put_bytes(lvd, 217, "*OSTA UDF Compliant");
  builder::put_u16(lvd, 240, 0x0102);
  EXPECT_EQ(domain_revision(lvd), 0x0102);
  lvd[236] = 'Q';
  EXPECT_EQ(domain_revision(lvd), 0);
  EXPECT_EQ(format_udf_revision(0x0201) + " " + format_udf_revision(0x0150), "2.01 1.50");
}

// A relabel (or, without a label, a query) over an image file: each of its
// sectors that carries a label offered to the plan as a verified copy, then
// the plan committed.
struct PatchRun {
  explicit PatchRun(const builder::Image& image, const char* label) {
    path = dir.file("d.iso");
    builder::write_file(path, image);
    if (label != nullptr) change.label = decode_dstring_text(label);
    stream_open(&context.file, path.c_str(), label != nullptr);
  }
  builder::Image relabel(const builder::Image& image) {
    Volume volume;
    for (uint32_t n = 0; n < builder::sector_count(image); ++n) {
      const auto bytes = builder::sector(image, n);
      const auto kind = label_kind(bytes);
      if (kind) volume.copies.push_back(LabelCopy{*kind, n, CopyPlace::MainSequence, true, {bytes.begin(), bytes.end()}, 0, true});
    }
    volume.file_set_found = true;
    plan = plan_relabel(volume, change);
    commit = commit_plan(&context, plan);
    stream_close(&context.file);
    return builder::read_file(path);
  }
  TempDir dir;
  std::string path;
  ImageContext context;
  Change change;
  Plan plan;
  CommitResult commit;
};

TEST(PatchAndWriteDescriptor, RewritesTheFileSetDescriptorFields) {
  builder::Image image = builder::blank_image(1);
  builder::write_fsd(&image, 0, "Old Label", "Old Set");
  PatchRun run(image, "The Monkey");
  const builder::Image after = run.relabel(image);
  ASSERT_EQ(run.plan.writes.size(), 1u);
  const auto d = builder::sector(after, 0);
  const auto planned = planned_bytes(run.plan.writes[0]);
  ASSERT_TRUE(std::equal(d.begin(), d.end(), planned.begin()));  // the plan is what was written

  auto field = [&](size_t offset, size_t size) { return std::string(d.begin() + offset, d.begin() + offset + size); };
  EXPECT_EQ(field(48, 64), builder::cs0_charspec());
  EXPECT_EQ(field(112, 128), builder::dstring8("The Monkey", 128));
  EXPECT_EQ(field(240, 64), builder::cs0_charspec());
  EXPECT_EQ(field(304, 32), builder::dstring8("The Monkey", 32));
  EXPECT_EQ(field(336, 32), builder::dstring8("Copyright", 32));  // other identifiers kept
  EXPECT_TRUE(builder::tag_is_valid(d));
  EXPECT_EQ(builder::get_u16(d, 10), 496);  // CRC length kept
}

TEST(PatchAndWriteDescriptor, NewCrcCoversExactlyTheRecordedLength) {
  builder::Image image = builder::blank_image(1);
  builder::write_pvd(&image, 0, "Old");
  auto s = builder::sector(&image, 0);
  s[1000] = 0x77;  // beyond the recorded 496 bytes
  PatchRun run(image, "New");
  const builder::Image after = run.relabel(image);
  const auto d = builder::sector(after, 0);
  EXPECT_EQ(builder::get_u16(d, 8), builder::crc16(d.subspan(16, 496)));
  EXPECT_EQ(d[1000], 0x77);
}

TEST(PatchAndWriteDescriptor, LeavesOtherDescriptorsAndForeignImplementationUseAlone) {
  builder::Image image = builder::blank_image(4);
  builder::write_pd(&image, 0, 0, 300, 10);
  builder::write_usd(&image, 1);
  builder::write_iuvd(&image, 2, "Other", "*Other Implementation");
  builder::write_td(&image, 3);
  PatchRun run(image, "New");
  EXPECT_EQ(run.relabel(image).bytes, image.bytes);
  EXPECT_TRUE(run.plan.writes.empty());
  EXPECT_FALSE(run.commit.failure);
}

TEST(PatchAndWriteDescriptor, QueryModeWritesNothing) {
  builder::Image image = builder::blank_image(3);
  builder::write_fsd(&image, 0, "", "");
  builder::write_fsd(&image, 1, "Mirror", "Mirror");
  builder::write_fsd(&image, 2, "Third", "Third");
  PatchRun run(image, nullptr);
  EXPECT_EQ(run.relabel(image).bytes, image.bytes);
  EXPECT_TRUE(run.plan.writes.empty());
}

}  // namespace
