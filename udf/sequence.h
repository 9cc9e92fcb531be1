// The walk over one volume descriptor sequence (ECMA-167 3/8.4).
#pragma once

#include <cstdint>

#include "image/context.h"

// An extent_ad as read from the anchor: length in bytes, location as a sector.
struct SequenceExtent {
  uint32_t length = 0;
  uint32_t location = 0;
};

// Walks the sequence in chunks of 16 sectors, handing every Primary,
// Implementation Use and Logical Volume Descriptor to
// patch_and_write_descriptor and taking the File Set Descriptor's location
// from the first Logical Volume Descriptor that gives one. For the main
// sequence it also builds the partition table from the Logical Volume
// Descriptor's partition maps and the Partition Descriptors, and reads the
// extents of every metadata partition. Any descriptor other than those and
// the Unallocated Space Descriptor ends the walk, as does the end of the
// image. Returns false when a chunk read yields nothing, for an NSR02 volume
// whose Logical Volume Descriptor declares exactly two partition maps, and
// when a metadata file cannot be read.
bool walk_descriptor_sequence(RelabelContext* ctx, SequenceExtent extent, bool is_main);
