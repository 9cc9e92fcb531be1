// The ECMA-167 descriptor tag (3/7.2) that begins every descriptor the tool
// touches, the tag identifiers it acts on, the tag's checksum and CRC, and
// the verification of a descriptor read from the image.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "image/bytes.h"

// Tag identifiers (ECMA-167 3/7.2.1 and 4/7.2.1; 0 is the UDF Sparing Table).
enum TagIdentifier : uint16_t {
  kTagSparingTable = 0,
  kTagPrimaryVolume = 1,
  kTagAnchorPointer = 2,
  kTagImplementationUse = 4,
  kTagPartition = 5,
  kTagLogicalVolume = 6,
  kTagUnallocatedSpace = 7,
  kTagTerminating = 8,
  kTagLogicalVolumeIntegrity = 9,
  kTagFileSet = 256,
  kTagFileEntry = 261,
  kTagExtendedAttributeHeader = 262,
  kTagExtendedFileEntry = 266,
};

// Field offsets within the 16-byte tag.
constexpr size_t kTagIdentifierOffset = 0;
constexpr size_t kTagVersionOffset = 2;
constexpr size_t kTagChecksumOffset = 4;
constexpr size_t kTagSerialOffset = 6;
constexpr size_t kTagCrcOffset = 8;
constexpr size_t kTagCrcLengthOffset = 10;
constexpr size_t kTagLocationOffset = 12;
constexpr size_t kTagSize = 16;

// CRC-16 with polynomial 0x1021, initial value 0, no reflection, no final XOR
// (ECMA-167 1/7.2.6), one table entry per byte value.
extern const std::array<uint16_t, 256> kCrcTable;

uint16_t descriptor_crc(std::span<const uint8_t> bytes);

// Sum modulo 256 of tag bytes 0-3 and 5-15 (ECMA-167 3/7.2.3); 0 for fewer
// than 16 bytes.
uint8_t tag_checksum(ConstBlockSpan descriptor);

inline uint16_t tag_identifier(ConstBlockSpan descriptor) {
  return get_u16(descriptor, kTagIdentifierOffset);
}

// A descriptor verifies when its tag checksum is right, its Descriptor CRC
// Length fits in `descriptor` after the tag, the CRC over that length is
// right and its Tag Location is `location`: the block it was read from
// (ECMA-167 3/7.2), or the logical block that points at it.
bool tag_verifies(ConstBlockSpan descriptor, uint32_t location);

// Whether `descriptor` has tag identifier `identifier` and verifies with Tag
// Location `location`.
inline bool verifies_as(ConstBlockSpan descriptor, uint16_t identifier, uint32_t location) {
  return tag_identifier(descriptor) == identifier && tag_verifies(descriptor, location);
}

// Makes the tag valid for the descriptor's current contents: stores
// `crc_length` as the Descriptor CRC Length, the CRC of that many bytes after
// the tag, and the tag checksum. A `crc_length` beyond the descriptor is cut
// to it, so that nothing outside is covered.
void finalize_tag(BlockSpan descriptor, uint16_t crc_length);
