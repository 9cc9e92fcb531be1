#include "udf/run.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdio>
#include <cstring>

#include "image/console.h"
#include "image/tag.h"
#include "udf/layout.h"
#include "udf/partition.h"
#include "udf/patch.h"
#include "udf/sequence.h"
#include "udf/vat.h"

namespace {

constexpr std::array<uint32_t, 7> kBlockSizes = {512, 1024, 2048, 4096, 8192, 16384, 32768};
// Images shorter than this cannot hold the anchor at 2048-byte block 256.
constexpr uint64_t kAnchorAreaBytes = uint64_t{257} * 2048;

// Scans the Volume Recognition Sequence with descriptors `stride` bytes apart
// for NSR02 or NSR03 (ECMA-167 2/9.1), up to and including the first
// descriptor whose Structure Version is 0. The image must hold all ten.
RecognitionFlags scan_recognition_sequence(RelabelContext* ctx, uint32_t stride) {
  if (ctx->image_bytes < vsd::kFirstByte + uint64_t{stride} * (vsd::kScanDescriptors - 1) + kDescriptorSize) {
    return 0;
  }
  std::array<uint8_t, kDescriptorSize> descriptor{};
  RecognitionFlags flags = 0;
  for (size_t k = 0; k < vsd::kScanDescriptors; ++k) {
    if (read_bytes(ctx, vsd::kFirstByte + uint64_t{stride} * k, descriptor) != descriptor.size()) return 0;
    const auto identifier = std::span(descriptor).subspan(vsd::kStandardIdentifier, vsd::kStandardIdentifierSize);
    if (std::memcmp(identifier.data(), "NSR02", identifier.size()) == 0) flags |= kSeenNsr02;
    if (std::memcmp(identifier.data(), "NSR03", identifier.size()) == 0) flags |= kSeenNsr03;
    if (get_u8(descriptor, vsd::kStructureVersion) == 0) break;
  }
  return flags;
}

// The anchor's candidate blocks (UDF 2.2.3), in the order they are tried.
std::array<std::optional<uint32_t>, 4> anchor_candidates(uint64_t blocks) {
  std::array<std::optional<uint32_t>, 4> candidates{};
  const auto add = [&](size_t i, uint64_t block) {
    if (block >= blocks || block > UINT32_MAX) return;
    for (size_t j = 0; j < i; ++j) {
      if (candidates[j] == block) return;
    }
    candidates[i] = static_cast<uint32_t>(block);
  };
  add(0, avdp::kFirstBlock);
  add(1, avdp::kSecondBlock);
  if (blocks >= 256) add(2, blocks - 256);
  if (blocks >= 1) add(3, blocks - 1);
  return candidates;
}

// Reads the block `block` into `descriptor`: an Anchor Volume Descriptor
// Pointer (3/10.2) that verifies there.
bool read_anchor(RelabelContext* ctx, uint32_t block, BlockSpan descriptor) {
  if (read_sectors(ctx, block, 1, descriptor) != 1) return false;
  return tag_identifier(descriptor) == kTagAnchorPointer && tag_verifies(descriptor, block);
}

SequenceExtent read_sequence_extent(ConstBlockSpan anchor, size_t offset) {
  return SequenceExtent{get_u32(anchor, offset + extent_ad::kLength),
                        get_u32(anchor, offset + extent_ad::kLocation)};
}

// Writes so far are committed before anything later is read; a failure ends
// the run.
bool sync_step(RelabelContext* ctx) {
  if (sync_image(ctx)) return true;
  print_out("Error writing file: %s\n", ctx->path);
  return false;
}

// One copy of the File Set Descriptor at absolute `block`: a block of tag
// identifier 256 there that verifies (its Tag Location is `location`, the
// logical block the Logical Volume Descriptor gives) gives the label and is
// rewritten; one that does not verify is reported. Returns whether a copy
// was rewritten or reported.
bool handle_file_set_copy(RelabelContext* ctx, uint32_t block, uint32_t location, const char* where,
                          bool* synced) {
  std::vector<uint8_t> bytes(ctx->block_size, 0);
  if (read_sectors(ctx, block, 1, bytes) != 1 || tag_identifier(bytes) != kTagFileSet) return false;
  if (!tag_verifies(bytes, location)) {
    report_damaged(ctx, block);
    return true;
  }
  if (!ctx->label_from_file_set) {
    decode_lv_identifier(std::span(bytes).subspan<fsd::kLogicalVolumeIdentifier, 128>(), &ctx->captured_label);
    ctx->label_from_file_set = true;
  }
  patch_and_write_descriptor(ctx, bytes, block, where);
  *synced = sync_step(ctx);
  return true;
}

// The File Set Descriptor step: the copy in the partition the Logical Volume
// Descriptor names, or for a metadata partition the metadata file's copy and,
// at another block, the mirror's. Returns false when a sync failed.
bool handle_file_set(RelabelContext* ctx) {
  bool found = false;
  bool synced = true;
  if (get_u32(ctx->fsd_location, long_ad::kLength) != 0) {
    const uint16_t reference = get_u16(ctx->fsd_location, long_ad::kPartitionReference);
    const uint32_t location = get_u32(ctx->fsd_location, long_ad::kLogicalBlock);
    const auto main = map_block_to_sector(ctx, reference, location, ExtentList::Main);
    if (main) found = handle_file_set_copy(ctx, *main, location, "", &synced);
    if (!synced) return false;
    if (reference < ctx->partitions.size() && ctx->partitions[reference].kind == PartitionKind::Metadata) {
      const auto mirror = map_block_to_sector(ctx, reference, location, ExtentList::Mirror);
      if (mirror && mirror != main) {
        found = handle_file_set_copy(ctx, *mirror, location, " (metadata mirror)", &synced) || found;
        if (!synced) return false;
      }
    }
  }
  if (!found && !is_query_mode(ctx)) {
    print_out("File Set Descriptor not found\n");
    ++ctx->damaged;
  }
  return true;
}

}  // namespace

bool open_image(RelabelContext* ctx, const char* path) {
  const bool writable = !is_query_mode(ctx) && !ctx->dry_run;
  if (!stream_open(&ctx->file, path, writable)) {
    print_out(!is_query_mode(ctx) ? "Error opening file for writing: %s\n" : "Error opening file: %s\n", path);
    return false;
  }
  ctx->image_bytes = stream_size(&ctx->file).value_or(0);
  return true;
}

std::optional<std::vector<uint8_t>> find_volume(RelabelContext* ctx) {
  std::array<std::optional<RecognitionFlags>, 5> scans{};  // by stride 2048 << i
  bool recognised = false;
  for (uint32_t size : kBlockSizes) {
    const uint32_t stride = std::max(size, kDescriptorSize);
    auto& scan = scans[static_cast<size_t>(std::countr_zero(stride / kDescriptorSize))];
    if (!scan) scan = scan_recognition_sequence(ctx, stride);
    if (*scan == 0) continue;
    recognised = true;
    ctx->block_size = size;
    ctx->image_blocks = ctx->image_bytes / size;
    std::vector<uint8_t> anchor(size, 0);
    for (const auto& candidate : anchor_candidates(ctx->image_blocks)) {
      if (candidate && read_anchor(ctx, *candidate, anchor)) {
        ctx->flags = *scan;
        return anchor;
      }
    }
  }
  if (!recognised) {
    print_out("UDF file system not found in: %s\n", ctx->path);
  } else if (ctx->image_bytes < kAnchorAreaBytes) {
    print_out("Failed to read ADVP!\n");
  } else {
    print_out("UDF anchor not found in: %s\n", ctx->path);
  }
  return std::nullopt;
}

bool run_relabel(RelabelContext* ctx, const char* path) {
  ctx->path = path;
  if (!open_image(ctx, path)) return false;
  const auto anchor = find_volume(ctx);
  if (!anchor) return false;

  // Main sequence, then reserve, each committed before the next is touched:
  // at every instant one verified copy of each volume descriptor is stored.
  walk_descriptor_sequence(ctx, read_sequence_extent(*anchor, avdp::kMainSequenceExtent), SequenceKind::Main);
  if (!sync_step(ctx)) return false;
  walk_descriptor_sequence(ctx, read_sequence_extent(*anchor, avdp::kReserveSequenceExtent),
                           SequenceKind::Reserve);
  if (!sync_step(ctx)) return false;

  build_partition_table(ctx);
  if (!handle_file_set(ctx)) return false;
  for (const PartitionEntry& entry : ctx->partitions) {
    if (!entry.vat) continue;
    rewrite_vat_identifier(ctx, *entry.vat);
    if (!sync_step(ctx)) return false;
  }

  if (is_query_mode(ctx)) {
    if (!ctx->label_from_file_set) ctx->captured_label = ctx->lvd_label;
    return true;
  }
  const bool success = ctx->damaged == 0 && ctx->write_failures == 0;
  if (success && !ctx->dry_run) std::puts("Done!");
  return success;
}
