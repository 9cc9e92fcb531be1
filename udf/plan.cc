#include "udf/plan.h"

#include <algorithm>

#include "image/console.h"
#include "image/tag.h"
#include "udf/patch.h"

namespace {

constexpr size_t kLiveFieldBytes = 128;

// A block planned with a live field is read again: an earlier write of this
// run may have changed it. Its field is laid over what it holds now, and its
// tag renewed where it has one that still verifies. False, after reporting
// it, when the block cannot be read or no longer verifies.
bool refresh_live_block(RelabelContext* ctx, PlannedWrite* write) {
  std::vector<uint8_t> current(ctx->image.block_size, 0);
  const size_t at = *write->live_field;
  if (read_sectors(&ctx->image, write->block, 1, current) != 1 || at + kLiveFieldBytes > current.size() ||
      write->bytes.size() != current.size() ||
      (write->tag_location && !tag_verifies(current, *write->tag_location))) {
    report_damaged(ctx, write->block);
    return false;
  }
  const auto field = std::span(write->bytes).subspan(at, kLiveFieldBytes);
  std::copy(field.begin(), field.end(), current.begin() + static_cast<ptrdiff_t>(at));
  if (write->tag_location) finalize_tag(current, get_u16(current, kTagCrcLengthOffset));
  write->bytes = std::move(current);
  return true;
}

bool commit_group(RelabelContext* ctx, WriteGroup group) {
  const bool writing = ctx->mode == RunMode::Relabel;
  for (PlannedWrite& write : ctx->plan) {
    if (write.group != group) continue;
    if (write.live_field && !refresh_live_block(ctx, &write)) continue;
    if (ctx->mode == RunMode::DryRun || ctx->verbose) {
      print_out("%s at block %u%s%s%s: %s\n", write.name, write.block, *write.where != 0 ? " (" : "", write.where,
                *write.where != 0 ? ")" : "", write.identifier.c_str());
    }
    if (writing) write_sector(&ctx->image, write.block, write.bytes);
  }
  if (!writing || sync_image(&ctx->image)) return true;
  print_out("Error writing file: %s\n", ctx->image.path);
  return false;
}

}  // namespace

bool commit_plan(RelabelContext* ctx) {
  return commit_group(ctx, WriteGroup::First) && commit_group(ctx, WriteGroup::Second);
}
