#include "udf/metadata.h"

#include <algorithm>

#include "ecma167/tag.h"
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

// Turns the File Entry in `entry_bytes` into a list of block ranges of the
// partition it lies in.
void read_extent_list(ConstBlockSpan entry_bytes, std::vector<BlockExtent>* extents) {
  const uint32_t block_size = static_cast<uint32_t>(entry_bytes.size());
  const auto area = locate_allocation_descriptors(entry_bytes);
  if (!area) return;
  extents->assign(area->count, BlockExtent{});
  size_t offset = area->offset;
  for (uint32_t i = 0; i < area->count; ++i) {
    const auto decoded = decode_allocation_descriptor(entry_bytes, offset, area->type);
    if (!decoded || decoded->extent.kind == kEmbeddedKind) break;
    const uint32_t first = decoded->extent.location;
    const uint32_t blocks = (decoded->extent.length + (block_size - 1)) / block_size;
    (*extents)[i] = BlockExtent{first, first + blocks - 1};
    offset = decoded->next;
  }
}

}  // namespace

std::optional<AllocationArea> locate_allocation_descriptors(ConstBlockSpan descriptor) {
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
  // Computed in 64 bits: L_EA cannot wrap the area back into the block.
  const uint64_t block_size = descriptor.size();
  const uint64_t start = uint64_t{ea_offset} + lea;
  area.offset = static_cast<size_t>(std::min<uint64_t>(start, block_size));
  const uint64_t room = start < block_size ? block_size - start : 0;
  const size_t size = descriptor_size(area.type);
  if (size != 0) {
    area.count = static_cast<uint32_t>(std::min<uint64_t>(lad / size, room / size));
  } else if (area.type == kEmbedded) {
    area.count = static_cast<uint32_t>(std::min<uint64_t>(lad, room));
  }
  return area;
}

std::optional<DecodedDescriptor> decode_allocation_descriptor(ConstBlockSpan descriptor,
                                                              size_t offset, uint8_t type) {
  if (type == kEmbedded) return DecodedDescriptor{DecodedExtent{kEmbeddedKind, 0, 0}, offset};
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
      break;
    default:
      extent.length = get_u32(ad, ext_ad::kExtentLength);
      extent.location = get_u32(ad, ext_ad::kLocation);
      break;
  }
  return DecodedDescriptor{extent, offset + size};
}

void read_metadata_extents(ImageContext* image, PartitionEntry* entry, const PartitionEntry& underlying) {
  const BlockSpan bytes = scratch_bytes(image, image->block_size);
  const auto read_list = [&](uint32_t location, std::vector<BlockExtent>* extents) {
    if (read_sectors(image, physical_block(underlying, location), 1, bytes) != 1) return;
    if (!tag_verifies(bytes, location)) return;
    read_extent_list(bytes, extents);
  };
  read_list(entry->metadata_file_location, &entry->main_extents);
  if (entry->metadata_mirror_location != 0) read_list(entry->metadata_mirror_location, &entry->mirror_extents);
}
