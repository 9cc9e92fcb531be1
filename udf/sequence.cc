#include "udf/sequence.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "image/tag.h"
#include "udf/layout.h"
#include "udf/metadata.h"
#include "udf/patch.h"

namespace {

constexpr uint32_t kChunkSectors = 16;
constexpr size_t kMaxPartitionRecords = 6;
// A partition reference number is 16 bits: no table needs more entries.
constexpr uint32_t kMaxPartitionMaps = 65536;

// A Partition Descriptor of the main sequence, kept for the matching.
struct PartitionRecord {
  uint32_t start = 0;
  uint32_t length = 0;
  uint16_t number = 0;
};

constexpr std::string_view kMetadataPartition = "*UDF Metadata Partition";
constexpr std::string_view kVirtualPartition{"*UDF Virtual Partition\0", 23};
constexpr std::string_view kSparablePartition = "*UDF Sparable Partition";

bool identifier_is(std::span<const uint8_t> identifier, std::string_view expected) {
  return std::equal(expected.begin(), expected.end(), identifier.begin(), identifier.end());
}

// Decodes the map at `map` (which lies inside the sector) into `entry`.
void decode_partition_map(std::span<const uint8_t> map, PartitionEntry* entry) {
  const uint8_t type = get_u8(map, pmap::kType);
  if (type == 1) {
    entry->kind = PartitionKind::Physical;
    entry->number = get_u16(map, pmap::kType1PartitionNumber);
  } else if (type == 2) {
    const auto identifier = map.subspan(pmap::kType2Identifier, pmap::kType2IdentifierSize);
    if (identifier_is(identifier, kMetadataPartition)) {
      entry->kind = PartitionKind::Metadata;
      entry->number = get_u16(map, pmap::kType2PartitionNumber);
      entry->metadata_file_location = get_u32(map, pmap::kMetadataFileLocation);
      entry->metadata_mirror_location = get_u32(map, pmap::kMetadataMirrorLocation);
      entry->metadata_flags = get_u8(map, pmap::kMetadataFlags);
    } else if (identifier_is(identifier, kVirtualPartition)) {
      entry->kind = PartitionKind::Virtual;
      entry->number = get_u16(map, pmap::kType2PartitionNumber);
    } else if (identifier_is(identifier, kSparablePartition)) {
      entry->kind = PartitionKind::Sparable;
      entry->number = get_u16(map, pmap::kType2PartitionNumber);
    } else {
      entry->kind = PartitionKind::Unsupported;
    }
  } else {
    entry->kind = PartitionKind::Unsupported;
  }
}

// Builds a new partition table from the Logical Volume Descriptor's maps
// (3/10.7). Maps are read only inside the descriptor's sector: a map is
// decoded only when the bytes its type reads and its declared length lie in
// the sector. Returns false for the NSR02 two-map case, whose maps are left
// undecoded.
bool read_partition_maps(RelabelContext* ctx, ConstSectorSpan lvd_bytes) {
  const uint32_t declared = get_u32(lvd_bytes, lvd::kNumberOfPartitionMaps);
  ctx->partition_count = std::min(declared, kMaxPartitionMaps);
  ctx->partitions.assign(ctx->partition_count, PartitionEntry{});
  if ((ctx->flags & kSeenNsr02) != 0 && ctx->partition_count == 2) return false;

  size_t position = lvd::kPartitionMaps;
  for (PartitionEntry& entry : ctx->partitions) {
    if (!field_fits(lvd_bytes, position, pmap::kOtherBytes)) break;
    const uint8_t type = lvd_bytes[position + pmap::kType];
    const size_t length = lvd_bytes[position + pmap::kLength];
    const size_t reads = type == 1 ? pmap::kType1Bytes : type == 2 ? pmap::kType2Bytes : pmap::kOtherBytes;
    if (!field_fits(lvd_bytes, position, std::max(reads, length))) break;
    decode_partition_map(lvd_bytes.subspan(position, reads), &entry);
    if (length == 0) break;  // the position cannot advance
    position += length;
  }
  return true;
}

}  // namespace

bool walk_descriptor_sequence(RelabelContext* ctx, SequenceExtent extent, bool is_main) {
  const uint32_t total = extent.length / kSectorSize;
  const uint32_t first = extent.location;
  ensure_capacity(&ctx->buffer, kChunkSectors * kSectorSize);
  const std::span<uint8_t> chunk(ctx->buffer.bytes.data(), kChunkSectors * kSectorSize);

  std::array<PartitionRecord, kMaxPartitionRecords> records{};
  size_t held = 0;
  uint32_t slots_read = 0;

  for (uint32_t i = 0; i < total; ++i) {
    const uint32_t slot = i % kChunkSectors;
    const uint32_t sector = first + i;
    if (slot == 0) {
      // A sequence that would run past sector 2^32 - 1 ends there.
      if (sector < first) break;
      slots_read = read_sectors(ctx, sector, kChunkSectors, chunk);
      if (slots_read == 0) return false;
    }
    // The image ended inside this chunk: the sequence ends with it, and no
    // slot left over from an earlier chunk is looked at.
    if (slot >= slots_read) break;

    const SectorSpan descriptor(chunk.subspan(size_t{slot} * kSectorSize, kSectorSize));
    const uint16_t tag = tag_identifier(descriptor);
    if (tag == kTagPrimaryVolume || tag == kTagImplementationUse) {
      patch_and_write_descriptor(ctx, descriptor, sector);
    } else if (tag == kTagPartition) {
      if (is_main && held < records.size()) {
        records[held++] = PartitionRecord{get_u32(descriptor, pd::kStartingLocation),
                                          get_u32(descriptor, pd::kLength),
                                          get_u16(descriptor, pd::kPartitionNumber)};
      }
    } else if (tag == kTagLogicalVolume) {
      if (get_u32(ctx->fsd_location, long_ad::kLength) == 0) {
        const auto contents = descriptor.subspan<lvd::kContentsUse, long_ad::kSize>();
        std::copy(contents.begin(), contents.end(), ctx->fsd_location.begin());
      }
      patch_and_write_descriptor(ctx, descriptor, sector);
      if (is_main && !read_partition_maps(ctx, descriptor)) return false;
    } else if (tag != kTagUnallocatedSpace) {
      break;  // Terminating Descriptor, pointer, empty sector or anything else
    }
  }

  if (!is_main) return true;

  for (PartitionEntry& entry : ctx->partitions) {
    for (size_t r = 0; r < held; ++r) {
      if (records[r].number == entry.number) {
        entry.start = records[r].start;
        entry.length = records[r].length;
      }
    }
  }
  for (PartitionEntry& entry : ctx->partitions) {
    if (entry.kind == PartitionKind::Metadata &&
        !read_metadata_extents(ctx, &entry, ctx->buffer.bytes)) {
      return false;
    }
  }
  return true;
}
