// Little-endian field access on descriptors held in memory. Every on-image
// integer is read and written through these helpers; a field that does not lie
// wholly inside `bytes` reads as 0 and is not written.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

// A volume structure descriptor of the Volume Recognition Sequence is 2048
// bytes whatever the volume's block size (ECMA-167 2/9.1).
constexpr uint32_t kDescriptorSize = 2048;

// One logical block held in memory, of the volume's block size: a descriptor
// the tool reads or rewrites.
using BlockSpan = std::span<uint8_t>;
using ConstBlockSpan = std::span<const uint8_t>;

inline bool field_fits(std::span<const uint8_t> bytes, size_t offset, size_t width) {
  return offset <= bytes.size() && width <= bytes.size() - offset;
}

// Whether `bytes` are exactly the characters of `expected` (an identifier of
// a regid, padded with zeros where the identifier is shorter).
inline bool bytes_are(std::span<const uint8_t> bytes, std::string_view expected) {
  if (bytes.size() != expected.size()) return false;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] != static_cast<uint8_t>(expected[i])) return false;
  }
  return true;
}

inline uint8_t get_u8(std::span<const uint8_t> bytes, size_t offset) {
  assert(field_fits(bytes, offset, 1));
  return field_fits(bytes, offset, 1) ? bytes[offset] : 0;
}

inline uint16_t get_u16(std::span<const uint8_t> bytes, size_t offset) {
  assert(field_fits(bytes, offset, 2));
  if (!field_fits(bytes, offset, 2)) return 0;
  return static_cast<uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

inline uint32_t get_u32(std::span<const uint8_t> bytes, size_t offset) {
  assert(field_fits(bytes, offset, 4));
  if (!field_fits(bytes, offset, 4)) return 0;
  return static_cast<uint32_t>(bytes[offset]) | (static_cast<uint32_t>(bytes[offset + 1]) << 8) |
         (static_cast<uint32_t>(bytes[offset + 2]) << 16) |
         (static_cast<uint32_t>(bytes[offset + 3]) << 24);
}

inline uint64_t get_u64(std::span<const uint8_t> bytes, size_t offset) {
  assert(field_fits(bytes, offset, 8));
  if (!field_fits(bytes, offset, 8)) return 0;
  return get_u32(bytes, offset) | (static_cast<uint64_t>(get_u32(bytes, offset + 4)) << 32);
}

inline void put_u16(std::span<uint8_t> bytes, size_t offset, uint16_t value) {
  assert(field_fits(bytes, offset, 2));
  if (!field_fits(bytes, offset, 2)) return;
  bytes[offset] = static_cast<uint8_t>(value);
  bytes[offset + 1] = static_cast<uint8_t>(value >> 8);
}

inline void put_u32(std::span<uint8_t> bytes, size_t offset, uint32_t value) {
  assert(field_fits(bytes, offset, 4));
  if (!field_fits(bytes, offset, 4)) return;
  for (size_t i = 0; i < 4; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}
