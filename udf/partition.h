// The partition table and the one home of partition mapping: physical,
// sparable (UDF 2.2.9), virtual (UDF 2.2.8, through the Virtual Allocation
// Table) and metadata (UDF 2.2.10) partitions, each logical block mapped to
// an absolute block of the image.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "image/context.h"
#include "udf/volume.h"

enum class ExtentList { Main, Mirror };

// A Partition Descriptor of a sequence, kept for the matching with the maps.
struct PartitionRecord {
  uint32_t start = 0;
  uint16_t number = 0;
};
constexpr size_t kMaxPartitionRecords = 6;

// What one volume descriptor sequence gave: its verified Partition
// Descriptors and the partition maps of its Logical Volume Descriptor.
struct SequenceFindings {
  std::array<PartitionRecord, kMaxPartitionRecords> records{};
  size_t record_count = 0;
  bool has_maps = false;
  std::vector<PartitionEntry> maps;
};

// Decodes the Logical Volume Descriptor's partition maps (3/10.7). Maps are
// read only inside the descriptor's block: a map is decoded only when the
// bytes its type reads and its declared length lie in the block; a map of
// length 0 ends the decoding. At most 65,536 entries, one per declared map.
std::vector<PartitionEntry> read_partition_maps(ConstBlockSpan lvd_bytes);

// Builds the volume's partition table once both sequences have been walked: the
// maps of the main sequence (else the reserve's), each given the start of
// the verified Partition Descriptor with its number (the main sequence's,
// else the reserve's); then reads what each kind needs: the
// metadata file's and mirror's extents, the first sparing table that
// verifies, the Virtual Allocation Table (found from `last`, the last
// non-zero block of the session).
std::vector<PartitionEntry> build_partition_table(ImageContext* image, const SequenceFindings& main,
                                                  const SequenceFindings& reserve, std::optional<uint32_t> last);

// The absolute block that logical block `block` of the partition with index
// `reference` lies at; `which` chooses the metadata file or its mirror. None
// when there is no such partition or nothing maps the block.
std::optional<uint32_t> map_block_to_sector(ImageContext* image, const std::vector<PartitionEntry>& partitions,
                                            uint16_t reference, uint32_t block, ExtentList which);

// Logical block `block` of a physical or sparable partition as an absolute
// block, the sparing table's remapping applied.
uint32_t physical_block(const PartitionEntry& entry, uint32_t block);
