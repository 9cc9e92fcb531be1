// The platform layer over an image held in memory (memory_image.h), for the
// fuzz harness: fast, deterministic, and every write is on record. Reading
// and writing follow a file's rules: reads end at the image's size, writes
// past it extend it.
#include <algorithm>
#include <cstring>
#include <iterator>

#include "image/platform.h"
#include "image/utf.h"
#include "memory_image.h"

MemoryImage& served_image() {
  static MemoryImage image;
  return image;
}

bool stream_open(ImageStream* stream, const char* /*path*/, bool writable, OpenRefusal* /*refusal*/) {
  MemoryImage& image = served_image();
  ++image.opens;
  image.opened_writable = image.opened_writable || writable;
  stream->handle = writable ? 1 : 0;
  stream->position = 0;
  stream->open = true;
  return true;
}

bool stream_seek(ImageStream* stream, uint64_t offset) {
  if (!stream->open || offset > static_cast<uint64_t>(INT64_MAX)) return false;
  stream->position = offset;
  return true;
}

void store_bytes(MemoryImage* image, uint64_t offset, std::span<const uint8_t> bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const uint64_t at = offset + done;
    const size_t within = static_cast<size_t>(at % kMemorySectorSize);
    const size_t piece = std::min(bytes.size() - done, kMemorySectorSize - within);
    auto& sector = image->sectors.try_emplace(at / kMemorySectorSize).first->second;
    std::memcpy(sector.data() + within, bytes.data() + done, piece);
    done += piece;
  }
  if (!bytes.empty()) image->size = std::max(image->size, offset + bytes.size());
}

void load_bytes(const MemoryImage& image, uint64_t offset, std::span<uint8_t> dest) {
  size_t done = 0;
  while (done < dest.size()) {
    const uint64_t at = offset + done;
    const size_t within = static_cast<size_t>(at % kMemorySectorSize);
    const size_t piece = std::min(dest.size() - done, kMemorySectorSize - within);
    const auto found = image.sectors.find(at / kMemorySectorSize);
    if (found == image.sectors.end() || at >= image.size) {
      std::memset(dest.data() + done, 0, piece);
    } else {
      std::memcpy(dest.data() + done, found->second.data() + within, piece);
    }
    done += piece;
  }
}

size_t stream_read(ImageStream* stream, std::span<uint8_t> dest) {
  MemoryImage& image = served_image();
  if (image.failing_read && image.reads++ == *image.failing_read) {
    stream->read_failed = true;
    return 0;
  }
  if (!stream->open || stream->position >= image.size) return 0;
  const size_t total = static_cast<size_t>(std::min<uint64_t>(dest.size(), image.size - stream->position));
  load_bytes(image, stream->position, dest.first(total));
  stream->position += total;
  return total;
}

// Under a crash plan, the planned write lands in part and nothing after it.
size_t stream_write(ImageStream* stream, std::span<const uint8_t> src) {
  MemoryImage& image = served_image();
  if (!stream->open) return 0;
  if (stream->handle != 1) {
    ++image.writes_while_read_only;
    return 0;
  }
  const size_t index = image.writes.size();
  if (image.crash && index > image.crash->write_index) {
    ++image.writes_after_crash;
    return 0;
  }
  const size_t landing = image.crash && index == image.crash->write_index
                             ? std::min(src.size(), image.crash->landed_bytes)
                             : src.size();
  image.writes.push_back(MemoryWrite{stream->position, src.size(), {src.begin(), src.begin() + static_cast<std::ptrdiff_t>(landing)}});
  store_bytes(&image, stream->position, src.first(landing));
  if (landing != src.size()) return 0;
  stream->position += src.size();
  return src.size();
}

std::optional<uint64_t> stream_size(ImageStream* stream) {
  if (!stream->open) return std::nullopt;
  return served_image().size;
}

// Sectors that no record names are holes, as in a sparse file.
std::optional<DataRegion> stream_last_data(ImageStream* /*stream*/, uint64_t end) {
  const MemoryImage& image = served_image();
  end = std::min(end, image.size);
  if (end == 0) return std::nullopt;
  auto found = image.sectors.lower_bound((end + kMemorySectorSize - 1) / kMemorySectorSize);
  if (found == image.sectors.begin()) return std::nullopt;
  --found;
  uint64_t first = found->first;
  const uint64_t last = std::min(end, (first + 1) * kMemorySectorSize);
  while (found != image.sectors.begin() && std::prev(found)->first + 1 == first) {
    --found;
    first = found->first;
  }
  return DataRegion{first * kMemorySectorSize, last};
}

// The image is in memory already.
void prefetch_file(const char* /*path*/, uint64_t /*head*/, uint64_t /*tail*/) {}

bool stream_sync(ImageStream* stream) {
  MemoryImage& image = served_image();
  if (!stream->open) return false;
  if (image.crash && image.writes.size() > image.crash->write_index) return false;
  image.syncs.push_back(image.writes.size());
  return true;
}

void stream_close(ImageStream* stream) {
  stream->handle = -1;
  stream->open = false;
}

// The one image has no name: no argument names a file.
bool path_exists(const char* /*path*/) { return false; }

// The same bytes every run, so that a run can be replayed.
bool random_bytes(std::span<uint8_t> out) {
  for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<uint8_t>(0x5A + 17 * i);
  return true;
}

bool decode_argument(const char* argument, std::span<char16_t> out) {
  return utf8_to_utf16(argument, out);
}

void write_stdout(const char* /*text*/, size_t /*size*/) {}

void write_stdout_bytes(const char* /*text*/, size_t /*size*/) {}

void guard_standard_streams() {}

void set_stdout_utf16() {}
