// The metadata partition (UDF 2.2.10): the metadata file's and mirror file's
// allocation descriptors as lists of absolute sector ranges, and the mapping
// of a logical block to an absolute sector.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "image/context.h"

// Where a File Entry's or Extended File Entry's allocation descriptors lie
// within its sector: `offset` of the first, their `type` (ICB flags bits 0-2)
// and `count`, cut to what lies inside the sector.
struct AllocationArea {
  size_t offset = 0;
  uint8_t type = 0;
  uint32_t count = 0;
};

struct DecodedExtent {
  uint16_t kind = 0;  // kExtentKind or kEmbeddedKind
  uint16_t partition_reference = 0;
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

enum class ExtentList { Main, Mirror };

// None for anything but a File Entry (261) or Extended File Entry (266).
std::optional<AllocationArea> locate_allocation_descriptors(ConstSectorSpan descriptor);

// Decodes the descriptor of `type` at `offset`; none for types 4-7 or a
// descriptor that does not lie inside the sector.
std::optional<DecodedDescriptor> decode_allocation_descriptor(ConstSectorSpan descriptor,
                                                              size_t offset, uint8_t type);

// Reads the metadata File Entry (and the mirror's, when there is one) of a
// Metadata `entry` into its extent lists, using the first sector of `buffer`.
// Fails only when the metadata file's own sector cannot be read.
bool read_metadata_extents(RelabelContext* ctx, PartitionEntry* entry, std::span<uint8_t> buffer);

// Maps the logical block of the long_ad `location` to an absolute sector in
// the partition its reference number names; none when there is no such
// partition, the partition is neither Physical nor Metadata, or no extent of
// the chosen list covers the block.
std::optional<uint32_t> map_block_to_sector(const RelabelContext* ctx,
                                            std::span<const uint8_t, 16> location,
                                            ExtentList which);
