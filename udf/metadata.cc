#include "udf/metadata.h"

#include <algorithm>

#include "image/tag.h"
#include "udf/layout.h"

namespace {

constexpr uint8_t kShortAd = 0;
constexpr uint8_t kLongAd = 1;
constexpr uint8_t kExtAd = 2;
constexpr uint8_t kEmbedded = 3;

size_t descriptor_size(uint8_t type) {
  switch (type) {
    case kShortAd: return short_ad::kSize;
    case kLongAd: return long_ad::kSize;
    case kExtAd: return ext_ad::kSize;
    default: return 0;
  }
}

// Turns the File Entry in `sector_bytes` into a list of absolute sector
// ranges, each extent taken as lying in the partition starting at `start`.
void read_extent_list(ConstSectorSpan sector_bytes, uint32_t start,
                      std::vector<BlockExtent>* extents, uint32_t* extent_count) {
  const auto area = locate_allocation_descriptors(sector_bytes);
  if (!area) return;
  extents->assign(area->count, BlockExtent{});
  *extent_count = area->count;
  size_t offset = area->offset;
  for (uint32_t i = 0; i < area->count; ++i) {
    const auto decoded = decode_allocation_descriptor(sector_bytes, offset, area->type);
    if (!decoded || decoded->extent.kind == kEmbeddedKind) break;
    const uint32_t first = start + decoded->extent.location;
    const uint32_t blocks = (decoded->extent.length + (kSectorSize - 1)) / kSectorSize;
    (*extents)[i] = BlockExtent{first, first + blocks - 1};
    offset = decoded->next;
  }
}

}  // namespace

std::optional<AllocationArea> locate_allocation_descriptors(ConstSectorSpan descriptor) {
  size_t ea_offset;
  uint32_t lea;
  uint32_t lad;
  switch (tag_identifier(descriptor)) {
    case kTagFileEntry:
      ea_offset = fe::kExtendedAttributes;
      lea = get_u32(descriptor, fe::kLengthOfExtendedAttributes);
      lad = get_u32(descriptor, fe::kLengthOfAllocationDescriptors);
      break;
    case kTagExtendedFileEntry:
      ea_offset = efe::kExtendedAttributes;
      lea = get_u32(descriptor, efe::kLengthOfExtendedAttributes);
      lad = get_u32(descriptor, efe::kLengthOfAllocationDescriptors);
      break;
    default:
      return std::nullopt;
  }
  AllocationArea area;
  area.type = static_cast<uint8_t>(get_u16(descriptor, fe::kIcbTagFlags) & 7);
  // Computed in 64 bits: L_EA cannot wrap the area back into the sector.
  const uint64_t start = uint64_t{ea_offset} + lea;
  area.offset = static_cast<size_t>(std::min<uint64_t>(start, kSectorSize));
  const uint64_t room = start < kSectorSize ? kSectorSize - start : 0;
  const size_t size = descriptor_size(area.type);
  if (size != 0) {
    area.count = static_cast<uint32_t>(std::min<uint64_t>(lad / size, room / size));
  } else if (area.type == kEmbedded) {
    area.count = static_cast<uint32_t>(std::min<uint64_t>(lad, room));
  }
  return area;
}

std::optional<DecodedDescriptor> decode_allocation_descriptor(ConstSectorSpan descriptor,
                                                              size_t offset, uint8_t type) {
  if (type == kEmbedded) return DecodedDescriptor{DecodedExtent{kEmbeddedKind, 0, 0, 0}, offset};
  const size_t size = descriptor_size(type);
  if (size == 0 || !field_fits(descriptor, offset, size)) return std::nullopt;
  const auto ad = descriptor.subspan(offset, size);
  DecodedExtent extent;
  extent.kind = kExtentKind;
  switch (type) {
    case kShortAd:
      extent.length = get_u32(ad, short_ad::kLength);
      extent.location = get_u32(ad, short_ad::kPosition);
      break;
    case kLongAd:
      extent.length = get_u32(ad, long_ad::kLength);
      extent.location = get_u32(ad, long_ad::kLogicalBlock);
      extent.partition_reference = get_u16(ad, long_ad::kPartitionReference);
      break;
    default:
      extent.length = get_u32(ad, ext_ad::kExtentLength);
      extent.location = get_u32(ad, ext_ad::kLocation);
      extent.partition_reference = get_u16(ad, ext_ad::kPartitionReference);
      break;
  }
  return DecodedDescriptor{extent, offset + size};
}

bool read_metadata_extents(RelabelContext* ctx, PartitionEntry* entry, std::span<uint8_t> buffer) {
  const auto sector_bytes = ConstSectorSpan(buffer.first<kSectorSize>());
  if (read_sectors(ctx, entry->start + entry->metadata_file_location, 1, buffer) == 0) return false;
  read_extent_list(sector_bytes, entry->start, &entry->main_extents, &entry->main_extent_count);

  if (entry->metadata_mirror_location == 0) return true;
  if (read_sectors(ctx, entry->start + entry->metadata_mirror_location, 1, buffer) != 1) return true;
  read_extent_list(sector_bytes, entry->start, &entry->mirror_extents, &entry->mirror_extent_count);
  return true;
}

std::optional<uint32_t> map_block_to_sector(const RelabelContext* ctx,
                                            std::span<const uint8_t, 16> location,
                                            ExtentList which) {
  const uint16_t reference = get_u16(location, long_ad::kPartitionReference);
  if (reference >= ctx->partitions.size()) return std::nullopt;
  const PartitionEntry& entry = ctx->partitions[reference];
  const uint32_t block = get_u32(location, long_ad::kLogicalBlock);

  switch (entry.kind) {
    case PartitionKind::Physical:
      return block + entry.start;
    case PartitionKind::Metadata: {
      const auto& extents = which == ExtentList::Main ? entry.main_extents : entry.mirror_extents;
      uint32_t base = 0;
      for (const BlockExtent& extent : extents) {
        const uint32_t covered = extent.last - extent.first + 1;
        if (base <= block && block < static_cast<uint32_t>(base + covered)) {
          return extent.first + (block - base);
        }
        base += covered;
      }
      return std::nullopt;
    }
    default:
      return std::nullopt;
  }
}
