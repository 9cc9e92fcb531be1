#include "ecma167/tag.h"

#include <algorithm>

namespace {

constexpr std::array<uint16_t, 256> make_crc_table() {
  std::array<uint16_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t crc = i << 8;
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1;
    }
    table[i] = static_cast<uint16_t>(crc);
  }
  return table;
}

}  // namespace

constinit const std::array<uint16_t, 256> kCrcTable = make_crc_table();

uint16_t descriptor_crc(std::span<const uint8_t> bytes) {
  uint16_t crc = 0;
  for (uint8_t byte : bytes) {
    crc = static_cast<uint16_t>(kCrcTable[((crc >> 8) ^ byte) & 0xFF] ^ (crc << 8));
  }
  return crc;
}

uint8_t tag_checksum(ConstBlockSpan descriptor) {
  if (descriptor.size() < kTagSize) return 0;
  uint32_t sum = 0;
  for (size_t i = 0; i < kTagSize; ++i) {
    if (i != kTagChecksumOffset) sum += descriptor[i];
  }
  return static_cast<uint8_t>(sum);
}

bool tag_verifies(ConstBlockSpan descriptor, uint32_t location) {
  if (descriptor.size() < kTagSize) return false;
  if (descriptor[kTagChecksumOffset] != tag_checksum(descriptor)) return false;
  const uint16_t crc_length = get_u16(descriptor, kTagCrcLengthOffset);
  if (crc_length > descriptor.size() - kTagSize) return false;
  if (get_u16(descriptor, kTagCrcOffset) != descriptor_crc(descriptor.subspan(kTagSize, crc_length))) {
    return false;
  }
  return get_u32(descriptor, kTagLocationOffset) == location;
}

void finalize_tag(BlockSpan descriptor, uint16_t crc_length) {
  if (descriptor.size() < kTagSize) return;
  crc_length = static_cast<uint16_t>(std::min<size_t>(crc_length, descriptor.size() - kTagSize));
  descriptor[kTagChecksumOffset] = 0;
  put_u16(descriptor, kTagCrcLengthOffset, crc_length);
  put_u16(descriptor, kTagCrcOffset, descriptor_crc(descriptor.subspan(kTagSize, crc_length)));
  descriptor[kTagChecksumOffset] = tag_checksum(descriptor);
}
