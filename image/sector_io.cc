// Whole-sector access to the image: the only way any part of the tool reads
// or writes it.
#include <algorithm>

#include "image/console.h"
#include "image/context.h"

uint32_t read_sectors(RelabelContext* ctx, uint32_t sector, uint32_t count, std::span<uint8_t> dest) {
  const uint64_t offset = static_cast<uint64_t>(sector) * kSectorSize;
  if (!stream_seek(&ctx->file, offset)) {
    print_out("fseek to sector %d failed!\n", static_cast<int>(sector));
    return 0;
  }
  // Never past the buffer, and never past sector 2^32 - 1, the last one a
  // sector number can name.
  const uint64_t room = dest.size() / kSectorSize;
  const uint64_t addressable = (uint64_t{1} << 32) - sector;
  const auto whole = static_cast<uint32_t>(std::min({uint64_t{count}, room, addressable}));
  const size_t bytes = stream_read(&ctx->file, dest.first(size_t{whole} * kSectorSize));
  return static_cast<uint32_t>(bytes / kSectorSize);
}

void write_sector(RelabelContext* ctx, uint32_t sector, ConstSectorSpan src) {
  const uint64_t offset = static_cast<uint64_t>(sector) * kSectorSize;
  if (!stream_seek(&ctx->file, offset)) {
    print_out("fseek to sector %u failed!\n", sector);
    ++ctx->write_failures;
    return;
  }
  const size_t written = stream_write(&ctx->file, src);
  if (written != kSectorSize) {
    print_out("fwrite to sector %u failed, result=%zu!\n", sector, written);
    ++ctx->write_failures;
  }
}

bool sync_image(RelabelContext* ctx) {
  return stream_sync(&ctx->file);
}
