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
#include "udf/plan.h"
#include "udf/sequence.h"
#include "udf/vat.h"
#include "udf/volume_id.h"

namespace {

constexpr std::array<uint32_t, 7> kBlockSizes = {512, 1024, 2048, 4096, 8192, 16384, 32768};
// Images shorter than this cannot hold the anchor at 2048-byte block 256.
constexpr uint64_t kAnchorAreaBytes = uint64_t{257} * 2048;

// Scans the Volume Recognition Sequence with descriptors `stride` bytes apart
// for NSR02 or NSR03 (ECMA-167 2/9.1), up to and including the first
// descriptor whose Structure Version is 0. The image must hold all ten.
RecognitionFlags scan_recognition_sequence(RelabelContext* ctx, uint32_t stride) {
  if (ctx->image.image_bytes < vsd::kFirstByte + uint64_t{stride} * (vsd::kScanDescriptors - 1) + kDescriptorSize) {
    return 0;
  }
  std::array<uint8_t, kDescriptorSize> descriptor{};
  RecognitionFlags flags = 0;
  for (size_t k = 0; k < vsd::kScanDescriptors; ++k) {
    if (read_bytes(&ctx->image, vsd::kFirstByte + uint64_t{stride} * k, descriptor) != descriptor.size()) return 0;
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
  if (read_sectors(&ctx->image, block, 1, descriptor) != 1) return false;
  return tag_identifier(descriptor) == kTagAnchorPointer && tag_verifies(descriptor, block);
}

SequenceExtent read_sequence_extent(ConstBlockSpan anchor, size_t offset) {
  return SequenceExtent{get_u32(anchor, offset + extent_ad::kLength),
                        get_u32(anchor, offset + extent_ad::kLocation)};
}

// One copy of the File Set Descriptor at absolute `block`: a block of tag
// identifier 256 there that verifies (its Tag Location is `location`, the
// logical block the Logical Volume Descriptor gives) gives the label and is
// planned for rewriting in `group`; one that does not verify is reported.
// Returns whether a copy was planned or reported.
bool handle_file_set_copy(RelabelContext* ctx, uint32_t block, uint32_t location, const char* where,
                          WriteGroup group) {
  std::vector<uint8_t> bytes(ctx->image.block_size, 0);
  if (read_sectors(&ctx->image, block, 1, bytes) != 1 || tag_identifier(bytes) != kTagFileSet) return false;
  const bool verified = tag_verifies(bytes, location);
  record_copy(ctx, bytes, block, where, verified);
  if (!verified) {
    if (rewrites_tag(ctx, kTagFileSet)) report_damaged(ctx, block);
    return true;
  }
  if (!ctx->label_from_file_set) {
    decode_lv_identifier(std::span(bytes).subspan<fsd::kLogicalVolumeIdentifier, 128>(), &ctx->captured_label);
    ctx->label_from_file_set = true;
  }
  plan_descriptor(ctx, bytes, block, where, group);
  return true;
}

// The File Set Descriptor step: the copy in the partition the Logical Volume
// Descriptor names, or for a metadata partition the metadata file's copy and,
// at another block, the mirror's. The first copy planned goes in the first
// write group, the mirror's after it in the second, so that one of them
// verifies whichever write is torn.
void handle_file_set(RelabelContext* ctx) {
  bool found = false;
  if (get_u32(ctx->fsd_location, long_ad::kLength) != 0) {
    const uint16_t reference = get_u16(ctx->fsd_location, long_ad::kPartitionReference);
    const uint32_t location = get_u32(ctx->fsd_location, long_ad::kLogicalBlock);
    const auto main = map_block_to_sector(ctx, reference, location, ExtentList::Main);
    const size_t planned = ctx->plan.size();
    if (main) found = handle_file_set_copy(ctx, *main, location, "", WriteGroup::First);
    if (reference < ctx->partitions.size() && ctx->partitions[reference].kind == PartitionKind::Metadata) {
      const auto mirror = map_block_to_sector(ctx, reference, location, ExtentList::Mirror);
      const WriteGroup group = ctx->plan.size() > planned ? WriteGroup::Second : WriteGroup::First;
      if (mirror && mirror != main) {
        found = handle_file_set_copy(ctx, *mirror, location, "metadata mirror", group) || found;
      }
    }
  }
  if (!found && rewrites_tag(ctx, kTagFileSet)) {
    print_out("File Set Descriptor not found\n");
    ++ctx->damaged;
  }
}

// For the volume report: the UDF revision of the Logical Volume Integrity
// Descriptor at the start of the first verified Logical Volume Descriptor's
// integrity sequence, when it verifies there.
void read_integrity_revision(RelabelContext* ctx) {
  if (!ctx->lvd_label_set || ctx->report.integrity_length == 0) return;
  std::vector<uint8_t> bytes(ctx->image.block_size, 0);
  const uint32_t block = ctx->report.integrity_location;
  if (read_sectors(&ctx->image, block, 1, bytes) == 1 && tag_verifies(bytes, block)) {
    ctx->report.integrity_revision = integrity_revision(bytes);
  }
}

}  // namespace

bool open_image(RelabelContext* ctx, const char* path) {
  if (open_image_file(&ctx->image, path, ctx->mode == RunMode::Relabel)) return true;
  print_out(!is_query_mode(ctx) ? "Error opening file for writing: %s\n" : "Error opening file: %s\n", path);
  return false;
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
    ctx->image.block_size = size;
    ctx->image.image_blocks = ctx->image.image_bytes / size;
    std::vector<uint8_t> anchor(size, 0);
    for (const auto& candidate : anchor_candidates(ctx->image.image_blocks)) {
      if (candidate && read_anchor(ctx, *candidate, anchor)) {
        ctx->flags = *scan;
        return anchor;
      }
    }
  }
  if (!recognised) {
    print_out("UDF file system not found in: %s\n", ctx->image.path);
  } else if (ctx->image.image_bytes < kAnchorAreaBytes) {
    print_out("Failed to read ADVP!\n");
  } else {
    print_out("UDF anchor not found in: %s\n", ctx->image.path);
  }
  return std::nullopt;
}

bool run_relabel(RelabelContext* ctx, const char* path) {
  if (!open_image(ctx, path)) return false;
  const auto anchor = find_volume(ctx);
  if (!anchor) return false;

  // Everything is read, verified and planned before the first write.
  walk_descriptor_sequence(ctx, read_sequence_extent(*anchor, avdp::kMainSequenceExtent), SequenceKind::Main);
  walk_descriptor_sequence(ctx, read_sequence_extent(*anchor, avdp::kReserveSequenceExtent),
                           SequenceKind::Reserve);
  build_partition_table(ctx);
  handle_file_set(ctx);
  for (const PartitionEntry& entry : ctx->partitions) {
    if (entry.vat) plan_vat_identifier(ctx, *entry.vat);
  }
  if (ctx->reporting) read_integrity_revision(ctx);

  if (is_query_mode(ctx)) {
    if (!ctx->label_from_file_set) ctx->captured_label = ctx->lvd_label;
    return true;
  }
  if (!commit_plan(ctx)) return false;
  const bool success = ctx->damaged == 0 && ctx->image.write_failures == 0;
  if (success && ctx->mode == RunMode::Relabel) std::puts("Done!");
  return success;
}
