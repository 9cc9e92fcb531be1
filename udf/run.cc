#include "udf/run.h"

#include <cstdio>
#include <cstring>

#include "image/console.h"
#include "image/tag.h"
#include "udf/layout.h"
#include "udf/metadata.h"
#include "udf/patch.h"
#include "udf/sequence.h"

namespace {

constexpr uint32_t kRecognitionBufferBytes = vsd::kScanSectors * kSectorSize;

SequenceExtent read_sequence_extent(ConstSectorSpan anchor, size_t offset) {
  return SequenceExtent{get_u32(anchor, offset + extent_ad::kLength),
                        get_u32(anchor, offset + extent_ad::kLocation)};
}

// Reads the sector `mapped` to (when it maps) into `descriptor` and hands it
// to patch_and_write_descriptor.
void patch_file_set_copy(RelabelContext* ctx, std::optional<uint32_t> mapped, SectorSpan descriptor) {
  if (!mapped) return;
  if (read_sectors(ctx, *mapped, 1, descriptor) == 1) {
    patch_and_write_descriptor(ctx, descriptor, *mapped);
  }
}

// The File Set Descriptor step: the copy in a physical partition, or the
// metadata file's copy and, at another sector, the mirror's.
void patch_file_set(RelabelContext* ctx, SectorSpan descriptor) {
  const uint16_t reference = get_u16(ctx->fsd_location, long_ad::kPartitionReference);
  if (reference >= ctx->partitions.size()) return;
  switch (ctx->partitions[reference].kind) {
    case PartitionKind::Physical:
      patch_file_set_copy(ctx, map_block_to_sector(ctx, ctx->fsd_location, ExtentList::Main),
                          descriptor);
      break;
    case PartitionKind::Metadata: {
      const auto main = map_block_to_sector(ctx, ctx->fsd_location, ExtentList::Main);
      const auto mirror = map_block_to_sector(ctx, ctx->fsd_location, ExtentList::Mirror);
      patch_file_set_copy(ctx, main, descriptor);
      if (!main || mirror != main) patch_file_set_copy(ctx, mirror, descriptor);
      break;
    }
    default:
      break;  // virtual, sparable and unknown partitions are not followed
  }
}

}  // namespace

bool open_image(RelabelContext* ctx, const char* path) {
  const bool writable = !is_query_mode(ctx);
  if (!stream_open(&ctx->file, path, writable)) {
    print_out(writable ? "Error opening file for writing: %s\n" : "Error opening file: %s\n", path);
    return false;
  }
  return true;
}

bool scan_recognition_sequence(RelabelContext* ctx) {
  ensure_capacity(&ctx->buffer, kRecognitionBufferBytes);
  const std::span<uint8_t> sectors(ctx->buffer.bytes.data(), kRecognitionBufferBytes);
  if (read_sectors(ctx, vsd::kFirstSector, vsd::kScanSectors, sectors) < vsd::kScanSectors) {
    return false;
  }
  bool found = false;
  for (size_t i = 0; i < vsd::kScanSectors; ++i) {
    const auto descriptor = sectors.subspan(i * kSectorSize, kSectorSize);
    const auto identifier = descriptor.subspan(vsd::kStandardIdentifier, vsd::kStandardIdentifierSize);
    if (std::memcmp(identifier.data(), "NSR02", identifier.size()) == 0) {
      ctx->flags |= kSeenNsr02;
      found = true;
    } else if (std::memcmp(identifier.data(), "NSR03", identifier.size()) == 0) {
      ctx->flags |= kSeenNsr03;
      found = true;
    }
    if (get_u8(descriptor, vsd::kStructureVersion) == 0) break;
  }
  return found;
}

bool read_anchor(RelabelContext* ctx, SectorSpan descriptor) {
  return read_sectors(ctx, avdp::kSector, 1, descriptor) != 0;
}

bool run_relabel(RelabelContext* ctx, const char* path) {
  if (!open_image(ctx, path)) return false;
  if (!scan_recognition_sequence(ctx)) {
    print_out("UDF file system not found in: %s\n", path);
    return false;
  }
  std::array<uint8_t, kSectorSize> descriptor_buffer{};
  const SectorSpan descriptor(descriptor_buffer);
  if (!read_anchor(ctx, descriptor)) {
    print_out("Failed to read ADVP!\n");
    return false;
  }

  const SequenceExtent main_sequence = read_sequence_extent(descriptor, avdp::kMainSequenceExtent);
  const SequenceExtent reserve_sequence = read_sequence_extent(descriptor, avdp::kReserveSequenceExtent);
  walk_descriptor_sequence(ctx, main_sequence, true);
  walk_descriptor_sequence(ctx, reserve_sequence, false);

  if (get_u32(ctx->fsd_location, long_ad::kLength) == 0) return true;
  patch_file_set(ctx, descriptor);
  if (!is_query_mode(ctx)) std::puts("Done!");
  return true;
}
