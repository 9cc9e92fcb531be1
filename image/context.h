// The one record of a run and its parts: the image stream, the sector buffer,
// the new label as UDF d-strings, the captured label and the partition table.
// Also the operations on it: creation and release, the label encoding and the
// whole-sector reads and writes through which every access to the image goes.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "image/bytes.h"
#include "image/platform.h"

// The run's scratch storage for the recognition scan, the sequence walks and
// the metadata File Entry reads. `used` is only ever set to 0.
struct SectorBuffer {
  uint32_t used = 0;
  uint32_t capacity = 0;
  std::vector<uint8_t> bytes;
};

enum class PartitionKind : uint8_t {
  Physical = 0,
  Virtual = 1,
  Sparable = 2,
  Metadata = 3,
  Unsupported = 4,
};

// A run of absolute sectors, both ends inclusive.
struct BlockExtent {
  uint32_t first = 0;
  uint32_t last = 0;
};

// One entry per partition map of the Logical Volume Descriptor. A
// value-initialised entry is a Physical partition starting at sector 0.
struct PartitionEntry {
  uint32_t start = 0;   // Partition Starting Location of the matching Partition Descriptor
  uint32_t length = 0;  // Partition Length, in sectors
  uint16_t number = 0;  // partition number named by the map
  PartitionKind kind = PartitionKind::Physical;
  uint8_t metadata_flags = 0;
  uint32_t metadata_file_location = 0;    // logical block of the metadata file's File Entry
  uint32_t metadata_mirror_location = 0;  // same for the mirror; 0 means none
  std::vector<BlockExtent> main_extents;
  uint32_t main_extent_count = 0;
  std::vector<BlockExtent> mirror_extents;
  uint32_t mirror_extent_count = 0;
};

// Bit set of the NSR descriptors seen in the Volume Recognition Sequence.
using RecognitionFlags = uint32_t;
constexpr RecognitionFlags kSeenNsr02 = 4;
constexpr RecognitionFlags kSeenNsr03 = 8;

// The length byte of `new_id128` that marks query mode: no 128-byte d-string
// can be 255 bytes long.
constexpr uint8_t kQueryModeMarker = 255;

// Number of UTF-16 code units the label argument is converted into.
constexpr size_t kLabelUnits = 128;

struct RelabelContext {
  ImageStream file;
  SectorBuffer buffer;
  std::array<uint8_t, 32> new_id32{};
  std::array<uint8_t, 128> new_id128{};
  std::array<char16_t, kLabelUnits> captured_label{};
  RecognitionFlags flags = 0;
  // long_ad of the File Set Descriptor from a Logical Volume Descriptor's
  // Logical Volume Contents Use; an extent length of 0 means none is known.
  std::array<uint8_t, 16> fsd_location{};
  std::vector<PartitionEntry> partitions;
  uint32_t partition_count = 0;
  // Sector writes that failed (positioning or short write), so that the run
  // can end with a failure status once it has gone on as far as it can.
  uint32_t write_failures = 0;
  // A dry run (-n) opens the image read-only and writes and syncs nothing; it
  // lists each block a relabel would rewrite. Verbose (-v) lists each block
  // a relabel rewrites.
  bool dry_run = false;
  bool verbose = false;
};

// Query mode: there is no new label and nothing is ever written.
inline bool is_query_mode(const RelabelContext* ctx) {
  return ctx->new_id128[127] == kQueryModeMarker;
}

// Puts `ctx` in query mode with a zero-filled 32 KiB sector buffer.
void init_context(RelabelContext* ctx);

// Closes the image stream and releases the sector buffer.
void destroy_context(RelabelContext* ctx);

// Encodes the command-line `label` as the two d-strings and so switches the
// context to relabel mode. Returns false, leaving the context in query mode,
// when the label cannot be decoded.
bool set_new_label(RelabelContext* ctx, const char* label);

// Writes UTF-16 `units` as a 16-bit d-string of dest.size() bytes: at most
// dest.size() - 2 bytes of characters out of `byte_count`, high byte first.
void encode_cs0_16(std::span<uint8_t> dest, std::span<const char16_t> units, size_t byte_count);

// Grows `buffer` to at least `n` bytes.
void ensure_capacity(SectorBuffer* buffer, uint32_t n);

// Reads `count` whole sectors from `sector` on into `dest` and returns the
// number of whole sectors read. No more sectors than fit in `dest` are read,
// nor any beyond sector 2^32 - 1.
uint32_t read_sectors(RelabelContext* ctx, uint32_t sector, uint32_t count, std::span<uint8_t> dest);

// Writes one sector back in place. Failures are reported on standard output
// and counted in `write_failures`; the run goes on.
void write_sector(RelabelContext* ctx, uint32_t sector, ConstSectorSpan src);

// Commits everything written to the image to storage.
bool sync_image(RelabelContext* ctx);
