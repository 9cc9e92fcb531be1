// Whole-block access to the image: the only way any part of the tool reads
// or writes it. Blocks are of the volume's block size.
#include <algorithm>

#include "image/context.h"

bool open_image_file(ImageContext* image, const char* path, bool writable, OpenRefusal* refusal) {
  if (!stream_open(&image->file, path, writable, refusal)) return false;
  image->image_bytes = stream_size(&image->file).value_or(0);
  return true;
}

std::span<uint8_t> scratch_bytes(ImageContext* image, size_t bytes) {
  if (image->scratch.size() < bytes) image->scratch.resize(bytes);
  return std::span(image->scratch).first(bytes);
}

uint32_t read_sectors(ImageContext* image, uint32_t block, uint32_t count, std::span<uint8_t> dest) {
  const uint32_t size = image->block_size;
  const uint64_t offset = static_cast<uint64_t>(block) * size;
  if (!stream_seek(&image->file, offset)) {
    image->read_error = true;
    return 0;
  }
  // Never past the buffer, and never past block 2^32 - 1, the last one a
  // block number can name.
  const uint64_t room = dest.size() / size;
  const uint64_t addressable = (uint64_t{1} << 32) - block;
  const auto whole = static_cast<uint32_t>(std::min({uint64_t{count}, room, addressable}));
  const size_t bytes = stream_read(&image->file, dest.first(size_t{whole} * size));
  image->read_error = image->read_error || image->file.read_failed;
  return static_cast<uint32_t>(bytes / size);
}

size_t read_bytes(ImageContext* image, uint64_t offset, std::span<uint8_t> dest) {
  if (!stream_seek(&image->file, offset)) {
    image->read_error = true;
    return 0;
  }
  const size_t done = stream_read(&image->file, dest);
  image->read_error = image->read_error || image->file.read_failed;
  return done;
}

WriteOutcome write_sector(ImageContext* image, uint32_t block, ConstBlockSpan src) {
  const uint64_t offset = static_cast<uint64_t>(block) * image->block_size;
  ++image->unsynced_writes;
  if (!stream_seek(&image->file, offset)) return WriteOutcome{false, 0, src.size()};
  return WriteOutcome{true, stream_write(&image->file, src), src.size()};
}

bool sync_image(ImageContext* image) {
  if (image->unsynced_writes == 0) return true;
  image->unsynced_writes = 0;
  return stream_sync(&image->file);
}

std::optional<DataRegion> last_data_region(ImageContext* image, uint64_t end) {
  return stream_last_data(&image->file, end);
}

void prefetch_image_file(const char* path, uint64_t head, uint64_t tail) { prefetch_file(path, head, tail); }
