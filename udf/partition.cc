#include "udf/partition.h"

#include <algorithm>
#include <string_view>

#include "ecma167/tag.h"
#include "udf/layout.h"
#include "udf/metadata.h"
#include "udf/vat.h"

namespace {

// A partition reference number is 16 bits: no table needs more entries.
constexpr uint32_t kMaxPartitionMaps = 65536;
// Original Locations from 0xFFFFFFF0 on mark free or defective entries.
constexpr uint32_t kFirstUnusedOriginal = 0xFFFFFFF0;

constexpr std::string_view kMetadataPartition = "*UDF Metadata Partition";
constexpr std::string_view kVirtualPartition{"*UDF Virtual Partition\0", 23};
constexpr std::string_view kSparablePartition = "*UDF Sparable Partition";
constexpr std::string_view kSparingTable{"*UDF Sparing Table\0\0\0\0\0", 23};

// The sparable map's fields (UDF 2.2.9): the table locations are read while
// they lie inside the map's length.
void decode_sparable_map(std::span<const uint8_t> map, size_t length, PartitionEntry* entry) {
  entry->packet_length = get_u16(map, pmap::kPacketLength);
  entry->sparing_table_size = get_u32(map, pmap::kSparingTableSize);
  const size_t count = get_u8(map, pmap::kSparingTableCount);
  for (size_t k = 0; k < count; ++k) {
    const size_t at = pmap::kSparingTableLocations + 4 * k;
    if (at + 4 > length || !field_fits(map, at, 4)) break;
    entry->sparing_table_locations.push_back(get_u32(map, at));
  }
}

// Decodes the map at `map` (which lies inside the block) into `entry`.
void decode_partition_map(std::span<const uint8_t> map, size_t length, PartitionEntry* entry) {
  const uint8_t type = get_u8(map, pmap::kType);
  entry->kind = PartitionKind::Unsupported;
  if (type == 1) {
    entry->kind = PartitionKind::Physical;
    entry->number = get_u16(map, pmap::kType1PartitionNumber);
    return;
  }
  if (type != 2) return;
  const auto identifier = map.subspan(pmap::kType2Identifier, pmap::kType2IdentifierSize);
  entry->number = get_u16(map, pmap::kType2PartitionNumber);
  if (bytes_are(identifier, kMetadataPartition)) {
    entry->kind = PartitionKind::Metadata;
    entry->metadata_file_location = get_u32(map, pmap::kMetadataFileLocation);
    entry->metadata_mirror_location = get_u32(map, pmap::kMetadataMirrorLocation);
  } else if (bytes_are(identifier, kVirtualPartition)) {
    entry->kind = PartitionKind::Virtual;
  } else if (bytes_are(identifier, kSparablePartition)) {
    entry->kind = PartitionKind::Sparable;
    decode_sparable_map(map, length, entry);
  } else {
    entry->number = 0;
  }
}

// The start from the last verified Partition Descriptor of `findings`
// with the entry's number.
bool match_partition(const SequenceFindings& findings, PartitionEntry* entry) {
  bool matched = false;
  for (size_t r = 0; r < findings.record_count; ++r) {
    if (findings.records[r].number == entry->number) {
      entry->start = findings.records[r].start;
      matched = true;
    }
  }
  return matched;
}

// A sparing table copy verifies (UDF 2.2.12) when its tag identifier is 0, its
// regid names it, its Tag Location is its block and its CRC over up to its
// declared size minus 16 bytes is right.
bool load_sparing_table(ImageContext* image, PartitionEntry* entry, uint32_t location) {
  const uint64_t declared = entry->sparing_table_size;
  if (declared < sparing::kMinimumSize) return false;
  const size_t size = static_cast<size_t>(std::min<uint64_t>(declared, sparing::kLargestTable));
  const uint32_t blocks = static_cast<uint32_t>((size + image->block_size - 1) / image->block_size);
  const std::span<uint8_t> table = scratch_bytes(image, size_t{blocks} * image->block_size);
  if (read_sectors(image, location, blocks, table) != blocks) return false;
  const auto bytes = table.first(size);
  if (!verifies_as(bytes, kTagSparingTable, location)) return false;
  if (!bytes_are(bytes.subspan(sparing::kIdentifier, sparing::kIdentifierSize), kSparingTable)) {
    return false;
  }
  const size_t count = std::min<size_t>(get_u16(bytes, sparing::kReallocationTableLength),
                                        (size - sparing::kMapEntries) / sparing::kEntrySize);
  entry->sparing_entries.clear();
  for (size_t k = 0; k < count; ++k) {
    const auto item = bytes.subspan(sparing::kMapEntries + k * sparing::kEntrySize, sparing::kEntrySize);
    entry->sparing_entries.push_back(
        SparingEntry{get_u32(item, sparing::kOriginalLocation), get_u32(item, sparing::kMappedLocation)});
  }
  return true;
}

// The partition a metadata partition's file lies in: the physical or sparable
// one with its number, else its own start taken as physical.
const PartitionEntry& underlying_partition(const std::vector<PartitionEntry>& partitions,
                                           const PartitionEntry& metadata) {
  for (const PartitionEntry& other : partitions) {
    if (other.number == metadata.number &&
        (other.kind == PartitionKind::Physical || other.kind == PartitionKind::Sparable)) {
      return other;
    }
  }
  return metadata;
}

}  // namespace

std::vector<PartitionEntry> read_partition_maps(ConstBlockSpan lvd_bytes) {
  const uint32_t declared = get_u32(lvd_bytes, lvd::kNumberOfPartitionMaps);
  std::vector<PartitionEntry> maps(std::min(declared, kMaxPartitionMaps));
  size_t position = lvd::kPartitionMaps;
  for (PartitionEntry& entry : maps) {
    if (!field_fits(lvd_bytes, position, pmap::kOtherBytes)) break;
    const uint8_t type = lvd_bytes[position + pmap::kType];
    const size_t length = lvd_bytes[position + pmap::kLength];
    const size_t reads = type == 1 ? pmap::kType1Bytes : type == 2 ? pmap::kType2Bytes : pmap::kOtherBytes;
    if (!field_fits(lvd_bytes, position, std::max(reads, length))) break;
    decode_partition_map(lvd_bytes.subspan(position, std::max(reads, length)), length, &entry);
    if (length == 0) break;  // the position cannot advance
    position += length;
  }
  return maps;
}

uint32_t physical_block(const PartitionEntry& entry, uint32_t block) {
  if (entry.kind == PartitionKind::Sparable && entry.packet_length != 0) {
    const uint32_t packet = block - block % entry.packet_length;
    for (const SparingEntry& spared : entry.sparing_entries) {
      if (spared.original == packet && spared.original < kFirstUnusedOriginal) {
        return spared.mapped + (block - spared.original);
      }
    }
  }
  return entry.start + block;
}

std::vector<PartitionEntry> build_partition_table(ImageContext* image, const SequenceFindings& main,
                                                  const SequenceFindings& reserve, std::optional<uint32_t> last) {
  std::vector<PartitionEntry> partitions = main.has_maps ? main.maps : reserve.maps;
  for (PartitionEntry& entry : partitions) {
    if (!match_partition(main, &entry)) match_partition(reserve, &entry);
  }
  for (PartitionEntry& entry : partitions) {
    if (entry.kind != PartitionKind::Sparable) continue;
    for (uint32_t location : entry.sparing_table_locations) {
      if (load_sparing_table(image, &entry, location)) break;
    }
  }
  for (PartitionEntry& entry : partitions) {
    if (entry.kind == PartitionKind::Metadata) {
      read_metadata_extents(image, &entry, underlying_partition(partitions, entry));
    }
  }
  for (PartitionEntry& entry : partitions) {
    if (entry.kind == PartitionKind::Virtual) entry.vat = find_vat(image, entry, last, &entry.damaged_vat);
  }
  return partitions;
}

std::optional<uint32_t> map_block_to_sector(ImageContext* image, const std::vector<PartitionEntry>& partitions,
                                            uint16_t reference, uint32_t block, ExtentList which) {
  if (reference >= partitions.size()) return std::nullopt;
  const PartitionEntry& entry = partitions[reference];
  switch (entry.kind) {
    case PartitionKind::Physical:
    case PartitionKind::Sparable:
      return physical_block(entry, block);
    case PartitionKind::Virtual: {
      if (!entry.vat) return std::nullopt;
      const auto physical = vat_lookup(image, *entry.vat, block);
      if (!physical) return std::nullopt;
      return entry.start + *physical;
    }
    case PartitionKind::Metadata: {
      const auto& extents = which == ExtentList::Main ? entry.main_extents : entry.mirror_extents;
      uint32_t base = 0;
      for (const BlockExtent& extent : extents) {
        const uint32_t covered = extent.last - extent.first + 1;
        if (base <= block && block < static_cast<uint32_t>(base + covered)) {
          return physical_block(underlying_partition(partitions, entry), extent.first + (block - base));
        }
        base += covered;
      }
      return std::nullopt;
    }
    default:
      return std::nullopt;
  }
}
