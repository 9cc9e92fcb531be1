// The run's own state: what the walks over the volume found (the partition
// table and what each kind needs, the sequences' findings, the File Set
// Descriptor's location, the labels read) and the plan of every block a
// relabel rewrites, beside the image it works on.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "image/context.h"
#include "image/label.h"
#include "image/tag.h"
#include "udf/volume_id.h"

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

// A relabel commits its plan in two groups, each followed by a sync: the
// main sequence and the first File Set Descriptor copy, then the reserve
// sequence, the metadata mirror's copy and the VAT. While one group is on
// its way to storage the other holds a verified copy of what it rewrites.
enum class WriteGroup : uint8_t { First, Second };

// One block a relabel rewrites: where, its new bytes, what it is ("Primary
// Volume Descriptor", "main sequence"), the identifier it will hold (UTF-8)
// and in which group. A block with
// `live_field` is read again just before it is written, and only that
// 128-byte field of the new bytes is laid over what it then holds (with the
// tag renewed when `tag_location` is set, after checking the block still
// verifies there).
struct PlannedWrite {
  uint32_t block = 0;
  std::vector<uint8_t> bytes;
  const char* name = "";
  const char* where = "";  // "main sequence", "reserve sequence", "metadata mirror" or ""
  std::string identifier;
  WriteGroup group = WriteGroup::First;
  std::optional<size_t> live_field;
  std::optional<uint32_t> tag_location;
};

// A label-carrying copy as the walks met it: what and where it is, whether it
// verifies and, if so, the identifier it holds (UTF-8); a File Set
// Descriptor's File Set Identifier too.
struct LabelCopy {
  const char* name = "";
  uint32_t block = 0;
  const char* where = "";
  bool verified = false;
  std::string identifier;
  std::optional<std::string> file_set_identifier;
};

// What a query reports about the volume besides its label (-v, --json):
// every label-carrying copy, the first verified Primary Volume Descriptor's
// Volume Set Identifier, and the UDF revision from the first verified
// Logical Volume Descriptor's domain and its integrity sequence.
struct VolumeReport {
  std::vector<LabelCopy> copies;
  std::optional<std::array<uint8_t, 128>> volume_set_identifier;
  uint16_t domain_revision = 0;
  uint32_t integrity_length = 0;
  uint32_t integrity_location = 0;
  std::optional<uint16_t> integrity_revision;
};

// Query prints the label and never writes; a dry run plans a relabel and
// lists it without writing; a relabel plans and commits.
enum class RunMode : uint8_t { Query, DryRun, Relabel };

struct RelabelContext {
  ImageContext image;
  RunMode mode = RunMode::Query;
  bool verbose = false;  // list each block as it is written
  std::optional<LabelDStrings> new_label;
  std::optional<UuidDigits> new_uuid;
  // A query that reports the volume gathers `report` as it reads.
  bool reporting = false;
  VolumeReport report;
  RecognitionFlags flags = 0;
  // long_ad of the File Set Descriptor from a Logical Volume Descriptor's
  // Logical Volume Contents Use; an extent length of 0 means none is known.
  std::array<uint8_t, 16> fsd_location{};
  SequenceFindings main_findings;
  SequenceFindings reserve_findings;
  std::vector<PartitionEntry> partitions;
  // The label: the first verified File Set Descriptor copy's Logical Volume
  // Identifier, else the first verified Logical Volume Descriptor's.
  std::array<char16_t, kLabelUnits> captured_label{};
  bool label_from_file_set = false;
  std::array<char16_t, kLabelUnits> lvd_label{};
  bool lvd_label_set = false;
  std::vector<PlannedWrite> plan;
  // Damaged label-carrying descriptors left unchanged, and a missing File
  // Set Descriptor: each makes a relabel fail.
  uint32_t damaged = 0;
};

inline bool is_query_mode(const RelabelContext* ctx) { return ctx->mode == RunMode::Query; }

// Whether this run rewrites descriptors of tag identifier `tag`: a Primary
// Volume Descriptor for a new label or UUID, the others for a new label.
inline bool rewrites_tag(const RelabelContext* ctx, uint16_t tag) {
  if (is_query_mode(ctx)) return false;
  return ctx->new_label.has_value() || (tag == kTagPrimaryVolume && ctx->new_uuid.has_value());
}
