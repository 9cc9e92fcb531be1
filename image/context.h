// The image a run works on, as bytes and blocks: the stream and its size,
// the volume's block size, a scratch buffer, and the whole-block reads and
// writes, with sync, through which every access to the image goes. Nothing
// here knows what the blocks hold.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "image/bytes.h"
#include "image/platform.h"

struct ImageContext {
  ImageStream file;  // closed when the context goes out of scope
  // The volume's block size and the image's size in whole blocks and bytes.
  uint32_t block_size = 2048;
  uint64_t image_blocks = 0;
  uint64_t image_bytes = 0;
  // Scratch storage for multi-block reads (the sequence walks, the sparing
  // table, the search for the image's last data); grown on demand.
  std::vector<uint8_t> scratch;
  // Block writes not yet synced.
  uint32_t unsynced_writes = 0;
  // A read failed for another reason than the image's end (an I/O error):
  // what it should have returned is unknown.
  bool read_error = false;
};

// Opens `path` read-only, or for update (locked against other writers) when
// `writable`; records its size. See stream_open for `refusal`.
bool open_image_file(ImageContext* image, const char* path, bool writable, OpenRefusal* refusal = nullptr);

// The first `bytes` bytes of the scratch buffer, grown to hold them.
std::span<uint8_t> scratch_bytes(ImageContext* image, size_t bytes);

// Reads `count` whole blocks of `block_size` from `block` on into `dest` and
// returns the number of whole blocks read; a read that fails sets
// `read_error`. No more blocks than fit in `dest`
// are read, nor any beyond block 2^32 - 1.
uint32_t read_sectors(ImageContext* image, uint32_t block, uint32_t count, std::span<uint8_t> dest);

// Reads dest.size() bytes at byte `offset`; returns how many were read.
size_t read_bytes(ImageContext* image, uint64_t offset, std::span<uint8_t> dest);

// How one block write went: whether the stream could be positioned, and how
// many bytes were written.
struct WriteOutcome {
  bool positioned = true;
  size_t written = 0;
  size_t size = 0;
  bool ok() const { return positioned && written == size; }
};

// Writes one block back in place.
WriteOutcome write_sector(ImageContext* image, uint32_t block, ConstBlockSpan src);

// Commits everything written since the last sync to storage. Nothing is done
// (and true returned) when nothing was written.
bool sync_image(ImageContext* image);

// The last region of data of the image that begins before byte `end`, holes
// of a sparse file skipped unread.
std::optional<DataRegion> last_data_region(ImageContext* image, uint64_t end);

// Has the system start reading, ahead of a scan that comes later, the first
// `head` and the last `tail` bytes of the image at `path` and of its data
// (prefetch_file); returns at once.
void prefetch_image_file(const char* path, uint64_t head, uint64_t tail);
