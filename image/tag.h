// The ECMA-167 descriptor tag (3/7.2) that begins every descriptor the tool
// touches, the tag identifiers it acts on, and the tag's checksum and CRC.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "image/bytes.h"

// Tag identifiers (ECMA-167 3/7.2.1 and 4/7.2.1).
enum TagIdentifier : uint16_t {
  kTagPrimaryVolume = 1,
  kTagAnchorPointer = 2,
  kTagImplementationUse = 4,
  kTagPartition = 5,
  kTagLogicalVolume = 6,
  kTagUnallocatedSpace = 7,
  kTagTerminating = 8,
  kTagFileSet = 256,
  kTagFileEntry = 261,
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

// The most a Descriptor CRC can cover: the rest of a sector after the tag.
constexpr uint16_t kMaxCrcLength = kSectorSize - kTagSize;

// CRC-16 with polynomial 0x1021, initial value 0, no reflection, no final XOR
// (ECMA-167 1/7.2.6), one table entry per byte value.
extern const std::array<uint16_t, 256> kCrcTable;

uint16_t descriptor_crc(std::span<const uint8_t> bytes);

// Sum modulo 256 of tag bytes 0-3 and 5-15 (ECMA-167 3/7.2.3).
uint8_t tag_checksum(ConstSectorSpan descriptor);

inline uint16_t tag_identifier(ConstSectorSpan descriptor) {
  return get_u16(descriptor, kTagIdentifierOffset);
}

// Makes the tag valid for the descriptor's current contents: stores
// `crc_length` as the Descriptor CRC Length, the CRC of that many bytes after
// the tag, and the tag checksum. A `crc_length` above 2032 is taken as 2032,
// so that nothing outside the sector is covered.
void finalize_tag(SectorSpan descriptor, uint16_t crc_length);
