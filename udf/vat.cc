#include "udf/vat.h"

#include <algorithm>
#include <string_view>

#include "ecma167/tag.h"
#include "udf/layout.h"
#include "udf/metadata.h"

namespace {

constexpr uint32_t kNoVirtualBlock = 0xFFFFFFFF;
constexpr uint32_t kRecordedExtent = 0;

constexpr std::string_view kVatIdentifier{"*UDF Virtual Alloc Tbl\0", 23};
constexpr std::string_view kLvExtensionIdentifier{"*UDF VAT LVExtension\0\0\0", 23};

// Where one byte of the VAT's data lies: in the File Entry's block (embedded
// data) or in a block of the physical partition.
struct DataPlace {
  bool in_entry = false;
  uint32_t block = 0;
  size_t within = 0;
};

// The data byte at `offset`, found through the entry's embedded data or its
// recorded short_ad or long_ad extents (their partition reference ignored).
std::optional<DataPlace> locate_data(const VatInfo& vat, uint64_t offset, uint32_t block_size) {
  if (offset >= vat.length) return std::nullopt;
  const ConstBlockSpan entry(vat.entry);
  const auto area = locate_allocation_descriptors(entry);
  if (!area) return std::nullopt;
  if (area->type == 3) {
    if (offset >= area->count) return std::nullopt;
    return DataPlace{true, vat.entry_block, area->offset + static_cast<size_t>(offset)};
  }
  if (area->type > 1) return std::nullopt;
  uint64_t base = 0;
  size_t at = area->offset;
  for (uint32_t i = 0; i < area->count; ++i) {
    const auto decoded = decode_allocation_descriptor(entry, at, area->type);
    if (!decoded) break;
    const uint32_t length = decoded->extent.length & 0x3FFFFFFF;
    if (length == 0) break;  // the end of the descriptors
    if (offset < base + length) {
      if ((decoded->extent.length >> 30) != kRecordedExtent) return std::nullopt;
      const uint64_t into = offset - base;
      const auto block = static_cast<uint32_t>(vat.partition_start + decoded->extent.location + into / block_size);
      return DataPlace{false, block, static_cast<size_t>(into % block_size)};
    }
    base += length;
    at = decoded->next;
  }
  return std::nullopt;
}

// Reads dest.size() bytes of the VAT's data from `offset` on, block by block.
bool read_data(ImageContext* image, const VatInfo& vat, uint64_t offset, std::span<uint8_t> dest) {
  const uint32_t size = image->block_size;
  const BlockSpan block = scratch_bytes(image, size);
  size_t done = 0;
  while (done < dest.size()) {
    const auto place = locate_data(vat, offset + done, size);
    if (!place) return false;
    ConstBlockSpan source(vat.entry);
    if (!place->in_entry) {
      if (read_sectors(image, place->block, 1, block) != 1) return false;
      source = block;
    }
    const size_t piece = std::min(dest.size() - done, source.size() - place->within);
    std::copy_n(source.begin() + static_cast<ptrdiff_t>(place->within), piece, dest.begin() + static_cast<ptrdiff_t>(done));
    done += piece;
  }
  return true;
}

}  // namespace

std::optional<VatInfo> find_vat(ImageContext* image, const PartitionEntry& entry, std::optional<uint32_t> last,
                                std::optional<uint32_t>* damaged) {
  *damaged = std::nullopt;
  if (!last) return std::nullopt;
  std::optional<uint32_t> torn;
  const uint32_t size = image->block_size;
  for (uint32_t k = 0; k < 4 && k <= *last; ++k) {
    const uint32_t block = *last - k;
    if (block < entry.start) break;
    VatInfo vat;
    vat.entry.assign(size, 0);
    if (read_sectors(image, block, 1, vat.entry) != 1) continue;
    const uint16_t tag = tag_identifier(vat.entry);
    if (tag != kTagFileEntry && tag != kTagExtendedFileEntry) continue;
    if (!tag_verifies(vat.entry, block - entry.start)) {
      // A whole tag that names this block over a body that does not match
      // its CRC: a File Entry whose write was torn.
      if (!torn && get_u8(vat.entry, kTagChecksumOffset) == tag_checksum(vat.entry) &&
          get_u32(vat.entry, kTagLocationOffset) == block - entry.start) {
        torn = block;
      }
      continue;
    }
    vat.entry_block = block;
    vat.partition_start = entry.start;
    vat.length = get_u64(vat.entry, fe::kInformationLength);
    if (get_u8(vat.entry, fe::kFileType) == vat::kFileType200) {
      std::array<uint8_t, 2> header{};
      vat.udf200 = true;
      if (read_data(image, vat, vat::kHeaderLength, header)) vat.header_length = get_u16(header, 0);
      return vat;
    }
    std::array<uint8_t, vat::kTrailer150Size> trailer{};
    if (vat.length < trailer.size() || !read_data(image, vat, vat.length - trailer.size(), trailer)) continue;
    if (bytes_are(std::span(trailer).subspan(vat::kTrailerIdentifier, vat::kTrailerIdentifierSize),
                      kVatIdentifier)) {
      return vat;
    }
  }
  *damaged = torn;
  return std::nullopt;
}

std::optional<uint32_t> vat_lookup(ImageContext* image, const VatInfo& vat, uint32_t block) {
  if (vat.udf200 && !vat.header_length) return std::nullopt;
  const uint64_t offset = (vat.udf200 ? *vat.header_length : 0) + uint64_t{vat::kEntrySize} * block;
  const uint64_t table_end = vat.udf200 ? vat.length : vat.length - vat::kTrailer150Size;
  if (offset + vat::kEntrySize > table_end) return std::nullopt;
  std::array<uint8_t, vat::kEntrySize> value{};
  if (!read_data(image, vat, offset, value)) return std::nullopt;
  const uint32_t physical = get_u32(value, 0);
  if (physical == kNoVirtualBlock) return std::nullopt;
  return physical;
}

namespace {

// Where the 1.50 form keeps the identifier: the Logical Volume Identifier of
// the entry's "*UDF VAT LVExtension" implementation use extended attribute,
// found from the Extended Attribute Header Descriptor's Implementation
// Attributes Location. None without such an attribute; an offset past the
// extended attributes when the identifier does not fit in them.
std::optional<size_t> lv_extension_identifier(ConstBlockSpan entry) {
  const bool extended = tag_identifier(entry) == kTagExtendedFileEntry;
  const size_t ea_start = extended ? efe::kExtendedAttributes : fe::kExtendedAttributes;
  const uint32_t lea = get_u32(entry, extended ? efe::kLengthOfExtendedAttributes : fe::kLengthOfExtendedAttributes);
  if (ea_start > entry.size()) return std::nullopt;
  const auto area = entry.subspan(ea_start, std::min<size_t>(lea, entry.size() - ea_start));
  if (!field_fits(area, ea::kImplementationAttributesLocation, 4)) return std::nullopt;
  uint64_t at = get_u32(area, ea::kImplementationAttributesLocation);
  while (at + ea::kImplementationUse <= area.size()) {
    const auto attribute = area.subspan(static_cast<size_t>(at));
    const uint32_t length = get_u32(attribute, ea::kAttributeLength);
    if (get_u32(attribute, ea::kAttributeType) == ea::kImplementationUseType &&
        bytes_are(attribute.subspan(ea::kImplementationIdentifier, ea::kImplementationIdentifierSize),
                      kLvExtensionIdentifier)) {
      const uint64_t identifier = at + ea::kImplementationUse + ea::kLvExtensionIdentifier;
      if (identifier + kLongDstring > area.size()) return entry.size();
      return ea_start + static_cast<size_t>(identifier);
    }
    if (length == 0) break;
    at += length;
  }
  return std::nullopt;
}

}  // namespace

std::optional<LabelCopy> read_vat_identifier(ImageContext* image, const VatInfo& vat) {
  const uint32_t size = image->block_size;
  LabelCopy damaged{CopyKind::Vat, vat.entry_block, CopyPlace::FileSet, false, {}, 0, false};
  std::optional<DataPlace> place;
  if (vat.udf200) {
    const uint64_t first = vat::kLogicalVolumeIdentifier;
    place = locate_data(vat, first, size);
    const auto last = locate_data(vat, first + kLongDstring - 1, size);
    if (!place || !last || last->in_entry != place->in_entry || last->block != place->block ||
        last->within != place->within + kLongDstring - 1) {
      return damaged;
    }
  } else {
    const auto at = lv_extension_identifier(vat.entry);
    if (!at) return std::nullopt;  // no LVExtension: nothing more to write
    if (*at + kLongDstring > size) return damaged;
    place = DataPlace{true, vat.entry_block, *at};
  }
  // An identifier in the File Entry lies in the block find_vat read and
  // verified; one in a data block is read here (a block past the image's
  // end is damaged; one whose read failed is no copy, the read error says).
  std::vector<uint8_t> bytes = vat.entry;
  if (!place->in_entry && read_sectors(image, place->block, 1, bytes) != 1) {
    if (image->read_error) return std::nullopt;
    return damaged;
  }
  return LabelCopy{CopyKind::Vat, place->block, CopyPlace::FileSet, true, std::move(bytes), place->within, place->in_entry};
}
