#include "udf/sequence.h"

#include <algorithm>
#include <array>

#include "image/tag.h"
#include "udf/layout.h"
#include "udf/partition.h"
#include "udf/patch.h"
#include "udf/volume_id.h"

namespace {

constexpr uint32_t kChunkBlocks = 16;

void take_logical_volume(RelabelContext* ctx, ConstBlockSpan descriptor, SequenceFindings* findings,
                         SequenceKind kind) {
  if (get_u32(ctx->fsd_location, long_ad::kLength) == 0) {
    const auto contents = descriptor.subspan(lvd::kContentsUse, long_ad::kSize);
    std::copy(contents.begin(), contents.end(), ctx->fsd_location.begin());
  }
  if (!ctx->lvd_label_set) {
    decode_lv_identifier(descriptor.subspan<lvd::kLogicalVolumeIdentifier, 128>(), &ctx->lvd_label);
    ctx->lvd_label_set = true;
    ctx->report.domain_revision = domain_revision(descriptor);
    ctx->report.integrity_length = get_u32(descriptor, lvd::kIntegritySequenceExtent + extent_ad::kLength);
    ctx->report.integrity_location = get_u32(descriptor, lvd::kIntegritySequenceExtent + extent_ad::kLocation);
  }
  // The main sequence's last Logical Volume Descriptor gives the maps; the
  // reserve sequence's first one stands in when the main sequence has none.
  if (kind == SequenceKind::Main || !findings->has_maps) {
    findings->maps = read_partition_maps(descriptor);
    findings->has_maps = true;
  }
}

}  // namespace

void walk_descriptor_sequence(RelabelContext* ctx, SequenceExtent extent, SequenceKind kind) {
  const uint32_t size = ctx->image.block_size;
  const uint32_t total = extent.length / size;
  const uint32_t first = extent.location;
  const std::span<uint8_t> chunk = scratch_bytes(&ctx->image, size_t{kChunkBlocks} * size);
  SequenceFindings* findings = kind == SequenceKind::Main ? &ctx->main_findings : &ctx->reserve_findings;
  const char* where = kind == SequenceKind::Main ? "main sequence" : "reserve sequence";
  const WriteGroup group = kind == SequenceKind::Main ? WriteGroup::First : WriteGroup::Second;

  uint32_t slots_read = 0;
  for (uint32_t i = 0; i < total; ++i) {
    const uint32_t slot = i % kChunkBlocks;
    const uint32_t block = first + i;
    if (slot == 0) {
      // A sequence that would run past block 2^32 - 1 ends there.
      if (block < first) break;
      slots_read = read_sectors(&ctx->image, block, kChunkBlocks, chunk);
    }
    // The image ended inside this chunk: the sequence ends with it, and no
    // slot left over from an earlier chunk is looked at.
    if (slot >= slots_read) break;

    const BlockSpan descriptor = chunk.subspan(size_t{slot} * size, size);
    const uint16_t tag = tag_identifier(descriptor);
    if (tag != kTagPrimaryVolume && tag != kTagImplementationUse && tag != kTagPartition &&
        tag != kTagLogicalVolume && tag != kTagUnallocatedSpace) {
      break;  // Terminating Descriptor, pointer, empty block or anything else
    }
    const bool carries_label = tag == kTagPrimaryVolume || tag == kTagLogicalVolume ||
                               (tag == kTagImplementationUse && is_lv_info(descriptor));
    const bool verified = tag_verifies(descriptor, block);
    if (carries_label) record_copy(ctx, descriptor, block, where, verified);
    if (!verified) {
      if (carries_label && rewrites_tag(ctx, tag)) report_damaged(ctx, block);
      continue;
    }
    if (tag == kTagPartition) {
      if (findings->record_count < findings->records.size()) {
        findings->records[findings->record_count++] =
            PartitionRecord{get_u32(descriptor, pd::kStartingLocation), get_u32(descriptor, pd::kLength),
                            get_u16(descriptor, pd::kPartitionNumber)};
      }
    } else if (tag == kTagLogicalVolume) {
      take_logical_volume(ctx, descriptor, findings, kind);
    } else if (tag == kTagPrimaryVolume && !ctx->report.volume_set_identifier) {
      ctx->report.volume_set_identifier.emplace();
      const auto identifier = descriptor.subspan<pvd::kVolumeSetIdentifier, 128>();
      std::copy(identifier.begin(), identifier.end(), ctx->report.volume_set_identifier->begin());
    }
    if (carries_label) plan_descriptor(ctx, descriptor, block, where, group);
  }
}
