// The walk over one volume descriptor sequence (ECMA-167 3/8.4).
#pragma once

#include <cstdint>

#include "udf/state.h"

// An extent_ad as read from the anchor: length in bytes, location as a block.
struct SequenceExtent {
  uint32_t length = 0;
  uint32_t location = 0;
};

enum class SequenceKind { Main, Reserve };

// Walks the sequence in chunks of 16 blocks. Each Primary, Implementation
// Use, Partition, Logical Volume and Unallocated Space Descriptor is passed
// over; any other tag identifier ends the walk, as does the end of the
// image. Of those, only descriptors that verify (tag checksum, CRC, Tag
// Location equal to their block) are used: Primary, "*UDF LV Info"
// Implementation Use and Logical Volume Descriptors are planned for rewriting
// (the main sequence's in the first write group, the reserve's in the second;
// a damaged one is reported instead), Partition Descriptors
// are kept in the sequence's findings, and Logical Volume Descriptors give
// the File Set Descriptor's location (the first with one), the fallback
// label and the sequence's partition maps.
void walk_descriptor_sequence(RelabelContext* ctx, SequenceExtent extent, SequenceKind kind);
