// The descriptor tag's CRC and checksum.
#include <gtest/gtest.h>

#include <random>
#include <string_view>

#include "ecma167/tag.h"
#include "image_builder.h"

namespace {

std::array<uint8_t, 2048> valid_pvd() {
  builder::Image image = builder::blank_image(1);
  builder::write_pvd(&image, 0, "Some Volume");
  std::array<uint8_t, 2048> d{};
  std::copy_n(image.bytes.begin(), 2048, d.begin());
  return d;
}

TEST(DescriptorCrc, MatchesKnownVectorsAndTable) {
  constexpr std::string_view check = "123456789";
  const auto* bytes = reinterpret_cast<const uint8_t*>(check.data());
  EXPECT_EQ(descriptor_crc({bytes, check.size()}), 0x31C3);  // CRC-16/XMODEM check value
  EXPECT_EQ(descriptor_crc({}), 0);
  EXPECT_EQ(kCrcTable[0], 0x0000);
  EXPECT_EQ(kCrcTable[1], 0x1021);
  EXPECT_EQ(kCrcTable[255], 0x1EF0);

  // Agrees with a bit-by-bit implementation on arbitrary data.
  std::mt19937 random(7);
  std::vector<uint8_t> data(2032);
  for (auto& b : data) b = static_cast<uint8_t>(random());
  for (size_t length : {1u, 2u, 17u, 496u, 2032u}) {
    EXPECT_EQ(descriptor_crc({data.data(), length}), builder::crc16({data.data(), length}));
  }
}

TEST(FinalizeTag, LeavesAValidUnchangedDescriptorAsItWas) {
  auto d = valid_pvd();
  const auto before = d;
  finalize_tag(d, get_u16(d, kTagCrcLengthOffset));
  EXPECT_EQ(d, before);
}

TEST(FinalizeTag, RepairsWrongChecksumAndCrcForTheCurrentContents) {
  auto d = valid_pvd();
  d[30] ^= 0x5A;      // contents changed after the tag was made
  d[4] ^= 0xFF;       // checksum wrong
  d[8] ^= 0x01;       // CRC wrong
  ASSERT_FALSE(builder::tag_is_valid(d));
  finalize_tag(d, 496);
  EXPECT_TRUE(builder::tag_is_valid(d));
  EXPECT_EQ(get_u16(d, kTagCrcLengthOffset), 496);
}

TEST(FinalizeTag, CrcLengthZeroGivesCrcZero) {
  auto d = valid_pvd();
  finalize_tag(d, 0);
  EXPECT_EQ(get_u16(d, kTagCrcOffset), 0);
  EXPECT_EQ(get_u16(d, kTagCrcLengthOffset), 0);
  EXPECT_TRUE(builder::tag_is_valid(d));
}

TEST(FinalizeTag, CrcLengthBeyondTheSectorIsCutTo2032) {
  auto d = valid_pvd();
  d[2047] = 0xAB;  // the last byte is covered
  for (int recorded : {2033, 4000, 0xFFFF}) {
    finalize_tag(d, static_cast<uint16_t>(recorded));
    EXPECT_EQ(get_u16(d, kTagCrcLengthOffset), 2032);
    EXPECT_EQ(get_u16(d, kTagCrcOffset), builder::crc16(std::span<const uint8_t>(d).subspan(16)));
    EXPECT_TRUE(builder::tag_is_valid(d));
  }
}

}  // namespace
