// Label capture and descriptor rewriting, in process.
#include <gtest/gtest.h>

#include <string>

#include "image_builder.h"
#include "run_tool.h"
#include "udf/patch.h"
#include "udf/plan.h"

namespace {

std::array<uint8_t, 128> identifier(const std::string& bytes) {
  std::array<uint8_t, 128> d{};
  std::copy(bytes.begin(), bytes.end(), d.begin());
  return d;
}

std::u16string captured(const std::array<char16_t, kLabelUnits>& label) {
  return std::u16string(label.data());
}

TEST(DecodeLvIdentifier, EightAndSixteenBitForms) {
  std::array<char16_t, kLabelUnits> out{};
  decode_lv_identifier(identifier(builder::dstring8("abc", 128)), &out);
  EXPECT_EQ(captured(out), u"abc");

  out = {};
  decode_lv_identifier(identifier(builder::dstring16(u"\u65E5\u672C", 128)), &out);
  EXPECT_EQ(captured(out), u"\u65E5\u672C");

  // Latin-1 bytes widen to their code points.
  out = {};
  decode_lv_identifier(identifier(builder::dstring8("\xE9t\xE9", 128)), &out);
  EXPECT_EQ(captured(out), u"\u00E9t\u00E9");
}

TEST(DecodeLvIdentifier, WritesNothingForEmptyUnknownOrCharacterlessIdentifiers) {
  std::array<char16_t, kLabelUnits> out{};
  out[0] = u'Z';
  auto empty = identifier("");
  decode_lv_identifier(empty, &out);
  auto unknown = identifier(builder::dstring8("abc", 128));
  unknown[0] = 9;
  decode_lv_identifier(unknown, &out);
  auto no_characters = identifier("");
  no_characters[0] = 16;
  no_characters[127] = 1;
  decode_lv_identifier(no_characters, &out);
  EXPECT_EQ(captured(out), u"Z");
}

TEST(DecodeLvIdentifier, LengthBytesBeyondTheFieldAreCutTo126Characters) {
  for (int length : {128, 200, 255}) {
    auto d = identifier("");
    d[0] = 8;
    std::fill(d.begin() + 1, d.end(), 'q');
    d[127] = static_cast<uint8_t>(length);
    std::array<char16_t, kLabelUnits> out{};
    decode_lv_identifier(d, &out);
    EXPECT_EQ(captured(out), std::u16string(126, u'q'));
    EXPECT_EQ(out[126], 0);
    EXPECT_EQ(out[127], 0);

    d[0] = 16;
    out = {};
    decode_lv_identifier(d, &out);
    EXPECT_EQ(captured(out).size(), 63u);
  }
}

TEST(DecodeLvIdentifier, OverwritesWithoutClearingWhatFollows) {
  std::array<char16_t, kLabelUnits> out{};
  decode_lv_identifier(identifier(builder::dstring8(std::string("\0xyz", 4), 128)), &out);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(out[1], u'x');
  decode_lv_identifier(identifier(builder::dstring8("M", 128)), &out);
  EXPECT_EQ(captured(out), u"Mxyz");
}

// A relabel (or, without a label, a query) over an image file: each of its
// sectors offered to the plan as a verified descriptor, then the plan
// committed.
struct PatchRun {
  explicit PatchRun(const builder::Image& image, const char* label) {
    path = dir.file("d.iso");
    builder::write_file(path, image);
    if (label != nullptr) {
      ctx.mode = RunMode::Relabel;
      ctx.new_label = encode_label(label);
    }
    stream_open(&ctx.image.file, path.c_str(), label != nullptr);
  }
  builder::Image relabel(const builder::Image& image) {
    for (uint32_t n = 0; n < builder::sector_count(image); ++n) {
      plan_descriptor(&ctx, builder::sector(image, n), n, "", WriteGroup::First);
    }
    commit_plan(&ctx);
    stream_close(&ctx.image.file);
    return builder::read_file(path);
  }
  TempDir dir;
  std::string path;
  RelabelContext ctx;
};

TEST(PatchAndWriteDescriptor, RewritesTheFileSetDescriptorFields) {
  builder::Image image = builder::blank_image(1);
  builder::write_fsd(&image, 0, "Old Label", "Old Set");
  PatchRun run(image, "The Monkey");
  const builder::Image after = run.relabel(image);
  ASSERT_EQ(run.ctx.plan.size(), 1u);
  const auto d = builder::sector(after, 0);
  ASSERT_TRUE(std::equal(d.begin(), d.end(), run.ctx.plan[0].bytes.begin()));  // the plan is what was written

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
  EXPECT_TRUE(run.ctx.plan.empty());
  EXPECT_EQ(run.ctx.image.write_failures, 0u);
}

TEST(PatchAndWriteDescriptor, QueryModeWritesNothing) {
  builder::Image image = builder::blank_image(3);
  builder::write_fsd(&image, 0, "", "");
  builder::write_fsd(&image, 1, "Mirror", "Mirror");
  builder::write_fsd(&image, 2, "Third", "Third");
  PatchRun run(image, nullptr);
  EXPECT_EQ(run.relabel(image).bytes, image.bytes);
  EXPECT_TRUE(run.ctx.plan.empty());
}

}  // namespace
