// The one record of a run and its parts: the image stream and its geometry,
// the block buffer, the new label as UDF d-strings, the captured label and
// the partition table. Also the operations on it: creation and release, the
// label encoding and the whole-block reads and writes through which every
// access to the image goes.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "image/bytes.h"
#include "image/platform.h"

// The run's scratch storage for the recognition scan, the sequence walks and
// the File Entry reads. `used` is only ever set to 0.
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

// A run of logical blocks of the partition under a metadata partition, both
// ends inclusive.
struct BlockExtent {
  uint32_t first = 0;
  uint32_t last = 0;
};

// One Sparing Table entry (UDF 2.2.12): the first block of a packet and the
// absolute block it was moved to.
struct SparingEntry {
  uint32_t original = 0;
  uint32_t mapped = 0;
};

// Where the Virtual Allocation Table lies (UDF 2.2.11): its File Entry's
// absolute block, the form, and what it takes to read its data.
struct VatInfo {
  uint32_t entry_block = 0;      // absolute block of the (Extended) File Entry
  uint32_t partition_start = 0;  // start of the physical partition it lies in
  bool udf200 = false;           // file type 248 with a header; else the UDF 1.50 form
  uint64_t length = 0;           // Information Length, in bytes
  uint32_t header_length = 0;    // L_HD of the 2.00 form
  std::vector<uint8_t> entry;    // the File Entry's block as read
};

// One entry per partition map of the Logical Volume Descriptor. A
// value-initialised entry is a Physical partition starting at block 0.
struct PartitionEntry {
  uint32_t start = 0;   // Partition Starting Location of the matching Partition Descriptor
  uint32_t length = 0;  // Partition Length, in blocks
  uint16_t number = 0;  // partition number named by the map
  PartitionKind kind = PartitionKind::Physical;
  uint8_t metadata_flags = 0;
  uint32_t metadata_file_location = 0;    // logical block of the metadata file's File Entry
  uint32_t metadata_mirror_location = 0;  // same for the mirror; 0 means none
  std::vector<BlockExtent> main_extents;
  uint32_t main_extent_count = 0;
  std::vector<BlockExtent> mirror_extents;
  uint32_t mirror_extent_count = 0;
  // Sparable partitions: the map's packet length and sparing table
  // locations, and the entries of the first table copy that verifies.
  uint16_t packet_length = 0;
  uint32_t sparing_table_size = 0;
  std::vector<uint32_t> sparing_table_locations;
  std::vector<SparingEntry> sparing_entries;
  // Virtual partitions: the VAT, when one was found.
  std::optional<VatInfo> vat;
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

// A Partition Descriptor of a sequence, kept for the matching with the maps.
struct PartitionRecord {
  uint32_t start = 0;
  uint32_t length = 0;
  uint16_t number = 0;
};
constexpr size_t kMaxPartitionRecords = 6;

// What one volume descriptor sequence gave: its verified Partition
// Descriptors and the partition maps of its Logical Volume Descriptor.
struct SequenceFindings {
  std::array<PartitionRecord, kMaxPartitionRecords> records{};
  size_t record_count = 0;
  bool has_maps = false;
  std::vector<PartitionEntry> maps;
};

struct RelabelContext {
  ImageStream file;
  const char* path = "";
  // The volume's block size and its size in whole blocks.
  uint32_t block_size = 2048;
  uint64_t image_blocks = 0;
  uint64_t image_bytes = 0;
  SectorBuffer buffer;
  std::array<uint8_t, 32> new_id32{};
  std::array<uint8_t, 128> new_id128{};
  std::array<char16_t, kLabelUnits> captured_label{};
  bool label_from_file_set = false;
  // The Logical Volume Identifier of the first verified Logical Volume
  // Descriptor, the label when no File Set Descriptor verifies.
  std::array<char16_t, kLabelUnits> lvd_label{};
  bool lvd_label_set = false;
  RecognitionFlags flags = 0;
  // long_ad of the File Set Descriptor from a Logical Volume Descriptor's
  // Logical Volume Contents Use; an extent length of 0 means none is known.
  std::array<uint8_t, 16> fsd_location{};
  SequenceFindings main_findings;
  SequenceFindings reserve_findings;
  std::vector<PartitionEntry> partitions;
  uint32_t partition_count = 0;
  // Block writes that failed (positioning or short write), damaged
  // descriptors left unchanged, and writes not yet synced.
  uint32_t write_failures = 0;
  uint32_t damaged = 0;
  uint32_t unsynced_writes = 0;
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

// Puts `ctx` in query mode with a zero-filled 32 KiB buffer.
void init_context(RelabelContext* ctx);

// Closes the image stream and releases the buffer.
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

// Reads `count` whole sectors from `block` on into `dest` and returns the
// number of whole sectors read. A sector is a block of the volume's size
// (`block_size`), 2048 bytes until the volume is found. No more blocks than fit
// in `dest` are read, nor any beyond block 2^32 - 1.
uint32_t read_sectors(RelabelContext* ctx, uint32_t block, uint32_t count, std::span<uint8_t> dest);

// Reads dest.size() bytes at byte `offset`; returns how many were read.
size_t read_bytes(RelabelContext* ctx, uint64_t offset, std::span<uint8_t> dest);

// Writes one sector (a block of the volume's size) back in place. Failures are reported
// on standard output and counted in `write_failures`; the run goes on.
void write_sector(RelabelContext* ctx, uint32_t block, ConstBlockSpan src);

// Commits everything written since the last sync to storage. Nothing is done
// (and true returned) when nothing was written.
bool sync_image(RelabelContext* ctx);

// The last region of data of the image that begins before byte `end`, holes
// of a sparse file skipped unread.
std::optional<DataRegion> last_data_region(RelabelContext* ctx, uint64_t end);
