// Whole-block access to the image: the only way any part of the tool reads
// or writes it. Blocks are of the volume's block size.
#include <algorithm>

#include "image/console.h"
#include "image/context.h"

uint32_t read_sectors(RelabelContext* ctx, uint32_t block, uint32_t count, std::span<uint8_t> dest) {
  const uint32_t size = ctx->block_size;
  const uint64_t offset = static_cast<uint64_t>(block) * size;
  if (!stream_seek(&ctx->file, offset)) {
    print_out("fseek to sector %d failed!\n", static_cast<int>(block));
    return 0;
  }
  // Never past the buffer, and never past block 2^32 - 1, the last one a
  // block number can name.
  const uint64_t room = dest.size() / size;
  const uint64_t addressable = (uint64_t{1} << 32) - block;
  const auto whole = static_cast<uint32_t>(std::min({uint64_t{count}, room, addressable}));
  const size_t bytes = stream_read(&ctx->file, dest.first(size_t{whole} * size));
  return static_cast<uint32_t>(bytes / size);
}

size_t read_bytes(RelabelContext* ctx, uint64_t offset, std::span<uint8_t> dest) {
  if (!stream_seek(&ctx->file, offset)) return 0;
  return stream_read(&ctx->file, dest);
}

void write_sector(RelabelContext* ctx, uint32_t block, ConstBlockSpan src) {
  const uint64_t offset = static_cast<uint64_t>(block) * ctx->block_size;
  ++ctx->unsynced_writes;
  if (!stream_seek(&ctx->file, offset)) {
    print_out("fseek to sector %u failed!\n", block);
    ++ctx->write_failures;
    return;
  }
  const size_t written = stream_write(&ctx->file, src);
  if (written != src.size()) {
    print_out("fwrite to sector %u failed, result=%zu!\n", block, written);
    ++ctx->write_failures;
  }
}

bool sync_image(RelabelContext* ctx) {
  if (ctx->unsynced_writes == 0) return true;
  ctx->unsynced_writes = 0;
  return stream_sync(&ctx->file);
}

std::optional<DataRegion> last_data_region(RelabelContext* ctx, uint64_t end) {
  return stream_last_data(&ctx->file, end);
}
