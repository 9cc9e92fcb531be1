// The volume as a scan found it: a value that planning and the front end
// only read. Block size, anchor, partitions and what each kind needs, every
// label-carrying copy of both sequences, the File Set Descriptor and the
// VAT, the Volume Set Identifier and the UDF revision.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "udf/descriptors.h"
#include "udf/layout.h"
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
// absolute block, the form, and what it takes to read its data. A 2.00 File
// Entry whose header cannot be reached is still the VAT, with no header.
struct VatInfo {
  uint32_t entry_block = 0;      // absolute block of the (Extended) File Entry
  uint32_t partition_start = 0;  // start of the physical partition it lies in
  bool udf200 = false;           // file type 248 with a header; else the UDF 1.50 form
  uint64_t length = 0;           // Information Length, in bytes
  std::optional<uint32_t> header_length;  // L_HD of the 2.00 form, when it can be read
  std::vector<uint8_t> entry;    // the File Entry's block as read
};

// One entry per partition map of the Logical Volume Descriptor. A
// value-initialised entry is a Physical partition starting at block 0.
struct PartitionEntry {
  uint32_t start = 0;   // Partition Starting Location of the matching Partition Descriptor
  uint16_t number = 0;  // partition number named by the map
  PartitionKind kind = PartitionKind::Physical;
  uint32_t metadata_file_location = 0;    // logical block of the metadata file's File Entry
  uint32_t metadata_mirror_location = 0;  // same for the mirror; 0 means none
  std::vector<BlockExtent> main_extents;
  std::vector<BlockExtent> mirror_extents;
  // Sparable partitions: the map's packet length and sparing table
  // locations, and the entries of the first table copy that verifies.
  uint16_t packet_length = 0;
  uint32_t sparing_table_size = 0;
  std::vector<uint32_t> sparing_table_locations;
  std::vector<SparingEntry> sparing_entries;
  // Virtual partitions: the VAT, when one was found; else the block of a
  // File Entry where it was looked for whose tag is whole and names that
  // block but which does not verify (a torn VAT), when there is one.
  std::optional<VatInfo> vat;
  std::optional<uint32_t> damaged_vat;
};

// Where a copy lies, as the listing and the report name it.
enum class CopyPlace : uint8_t { MainSequence, ReserveSequence, FileSet, MetadataMirror };

// A label-carrying copy as the scan met it: what and where it is, whether it
// verifies, and the block that holds it as read. `field` is where the VAT's
// identifier lies in that block (the table gives it for every other kind);
// `tagged` says the block begins with a tag to renew when it changes (not so
// for a VAT data block). `session` is the index of the session it belongs
// to, 0 for the first.
struct LabelCopy {
  CopyKind kind = CopyKind::PrimaryVolume;
  uint32_t block = 0;
  CopyPlace place = CopyPlace::MainSequence;
  bool verified = false;
  std::vector<uint8_t> bytes;
  size_t field = 0;
  bool tagged = true;
  uint32_t session = 0;
};

// Where `place`, a field of the copy's kind, lies in the copy's bytes: the
// table's offset, the VAT's identifier where the scan found it.
size_t field_offset(const LabelCopy& copy, const FieldPlace& place);

// The text of `field` in a verified copy (UTF-8): a d-string decoded, an
// entity identifier's bytes up to the first zero; "" for a copy that does
// not verify or whose kind does not carry the field.
std::string copy_field_text(const LabelCopy& copy, Field field);

// The number of characters of a Primary Volume Descriptor copy's Volume Set
// Identifier.
size_t volume_set_characters(const LabelCopy& copy);

// The identifier a verified copy shows (its kind's `shown` field, UTF-8);
// "" for one that does not verify.
std::string copy_identifier(const LabelCopy& copy);

// A volume descriptor sequence's extent as the anchor gives it: length in
// bytes, location as a block.
struct SequenceExtent {
  uint32_t length = 0;
  uint32_t location = 0;
  bool operator==(const SequenceExtent&) const = default;
};

// One session of a multi-session disc: a volume of its own, from its
// recognition sequence at block `start` + 16 (of 2048 bytes) and its anchor
// at `start` + 256 on, with its two sequences. Whether a block of tag
// identifier 256 lay where its File Set Descriptor was looked for.
struct Session {
  uint32_t start = 0;
  bool file_set_found = false;
  SequenceExtent main_sequence;
  SequenceExtent reserve_sequence;
};

// What the scan returns. Of a multi-session volume, the partitions, the
// Volume Set Identifier, the revisions, the sequences and `file_set_found`
// are the last session's, as a drive shows it; `copies` holds every
// session's.
struct Volume {
  uint32_t block_size = 2048;
  SequenceExtent main_sequence;
  SequenceExtent reserve_sequence;
  std::vector<PartitionEntry> partitions;
  // In the order met: the main sequence's, the reserve's, the File Set
  // Descriptor's (the metadata file's, then the mirror's), the VATs'.
  std::vector<LabelCopy> copies;
  // A block of tag identifier 256 lay where a File Set Descriptor copy was
  // looked for.
  bool file_set_found = false;
  // The first verified Primary Volume Descriptor's Volume Set Identifier.
  std::optional<std::array<uint8_t, kLongDstring>> volume_set_identifier;
  // From the first verified Logical Volume Descriptor's domain identifier and
  // its integrity sequence's first descriptor.
  uint16_t domain_revision = 0;
  std::optional<uint16_t> integrity_revision;
  // The last session's state as its descriptors record it: the Access Type
  // of its first verified Partition Descriptor (main sequence first), the
  // Integrity Type of its Logical Volume Integrity Descriptor, the Minimum
  // UDF Read and Write Revisions of that descriptor's Implementation Use and
  // of a UDF 2.00 VAT's header.
  std::optional<uint32_t> access_type;
  std::optional<uint32_t> integrity_type;
  std::optional<UdfRevisions> integrity_revisions;
  std::optional<UdfRevisions> vat_revisions;
  // A read failed on the way: what it would have given is unknown.
  bool read_error = false;
  // Every session in the order they lie on the image; one for a
  // single-session volume (none for a Volume made by hand, which counts as
  // one session).
  std::vector<Session> sessions;
};

// The index of the last session: the one a drive shows.
uint32_t last_session(const Volume& volume);

// The UDF revisions a reader needs and writes with, as the last session
// declares them: the read revision is the highest of its Logical Volume
// Descriptors' domain suffixes and its "*UDF LV Info" regids' suffixes, the
// write revision also of its type 2 partition maps' suffixes. From UDF 1.02
// on, the integrity descriptor's Minimum Read Revision replaces the read
// revision and its Minimum Write Revision may raise the write one; a UDF
// 2.00 VAT's header does the same after it; the first File Set Descriptor's
// domain suffix may raise the write revision. None without any of them.
std::optional<UdfRevisions> declared_revisions(const Volume& volume);

// The last session's first copy of `kind` that verifies (main sequence
// first, as the copies are met); none when none does.
const LabelCopy* first_verified(const Volume& volume, CopyKind kind);

// The label a drive shows: the last session's first verified File Set
// Descriptor copy's Logical Volume Identifier (even an empty one), else its
// first verified Logical Volume Descriptor's, else "".
std::string volume_label(const Volume& volume);
