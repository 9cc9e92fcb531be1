// File Entries and their allocation descriptors (ECMA-167 4/14.9, 4/14.14),
// and the metadata partition's (UDF 2.2.10) metadata and mirror files read
// into lists of block ranges.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "image/context.h"
#include "udf/volume.h"
#include "udf/partition.h"

// Where a File Entry's or Extended File Entry's allocation descriptors lie
// within its block: `offset` of the first, their `type` (ICB flags bits 0-2)
// and `count`, cut to what lies inside the block (for type 3, the bytes of
// embedded data).
struct AllocationArea {
  size_t offset = 0;
  uint8_t type = 0;
  uint32_t count = 0;
};

struct DecodedExtent {
  uint16_t kind = 0;  // kExtentKind or kEmbeddedKind
  uint32_t location = 0;
  uint32_t length = 0;  // the whole 32-bit field, extent-type bits included
};
constexpr uint16_t kExtentKind = 1;
constexpr uint16_t kEmbeddedKind = 3;

// An allocation descriptor and the offset just past it (embedded data does
// not advance).
struct DecodedDescriptor {
  DecodedExtent extent;
  size_t next = 0;
};

// None for anything but a File Entry (261) or Extended File Entry (266).
std::optional<AllocationArea> locate_allocation_descriptors(ConstBlockSpan descriptor);

// Decodes the descriptor of `type` at `offset`; none for types 4-7 or a
// descriptor that does not lie inside the block.
std::optional<DecodedDescriptor> decode_allocation_descriptor(ConstBlockSpan descriptor,
                                                              size_t offset, uint8_t type);

// Reads the metadata File Entry (and the mirror's, when there is one) of a
// Metadata `entry` into its extent lists, logical blocks of `underlying`, the
// partition the files lie in. A File Entry that cannot be read or does not
// verify (its Tag Location is its logical block) leaves its list empty.
void read_metadata_extents(ImageContext* image, PartitionEntry* entry, const PartitionEntry& underlying);
