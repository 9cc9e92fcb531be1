// The second step of a relabel: from the scanned Volume and the change asked
// for, every block to rewrite and what to lay over it, without any I/O.
#pragma once

#include <cstdint>
#include <optional>
#include <array>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "ecma167/dstring.h"
#include "udf/volume.h"
#include "udf/volume_id.h"

// How a value given for the Volume Set Identifier goes into it: after its
// first 16 characters (the UUID's), or as the whole identifier.
enum class VolumeSetPart : uint8_t { AfterUuid, Whole };

// The change a relabel makes: any of a new label, a new UUID, a value for
// each identifier field and the Soft Write-Protect flag. The label goes
// into the Volume, Logical Volume and File Set Identifiers, except where a
// value of their own is given; the 23 identifier bytes of an Application or
// Implementation Identifier are held as their ASCII units.
struct Change {
  std::optional<DstringText> label;
  std::optional<UuidDigits> uuid;
  std::array<std::optional<DstringText>, kFieldCount> fields;
  VolumeSetPart volume_set_part = VolumeSetPart::AfterUuid;
  std::optional<bool> write_protect;
};

// The value `change` writes into `field` (the DomainFlags field has none):
// its own, else the label's for the three identifiers the label sets.
const DstringText* change_value(const Change& change, Field field);

// The Volume Set Identifier `change` makes of `current` (the field's 128
// bytes): with a UUID, its 16 digits first; with a value after the UUID, the
// first 16 characters (the new digits, else the current ones) followed by
// the value, in one form for the whole, cut to the field; with a whole
// value, that value. None when the change leaves the identifier alone.
std::optional<std::array<uint8_t, kLongDstring>> changed_volume_set(std::span<const uint8_t> current,
                                                                   const Change& change);

// A relabel commits its plan in two groups, each followed by a sync: the
// main sequence and the first File Set Descriptor copy, then the reserve
// sequence, the metadata mirror's copy and the VAT (of every session). While one group is on
// its way to storage the other holds a verified copy of what it rewrites.
enum class WriteGroup : uint8_t { First, Second };

// Bytes laid over a block from `offset` on.
struct FieldChange {
  size_t offset = 0;
  std::vector<uint8_t> bytes;
};

// The text of `value` as it will be written into `field`: cut to what the
// field holds (after the UUID's 16 characters for a Volume Set Identifier
// value `part` puts there), UTF-8.
std::string value_as_written(Field field, const DstringText& value, VolumeSetPart part);

// One block the relabel rewrites: its bytes as the scan read them and the
// field changes laid over them, then its tag renewed where it has one. A
// block planned twice is one entry holding both changes, written in the
// group of the first.
struct PlannedBlock {
  uint32_t block = 0;
  WriteGroup group = WriteGroup::First;
  std::vector<uint8_t> current;
  std::vector<FieldChange> changes;
  bool renew_tag = false;
};

// The bytes a planned block is written with.
std::vector<uint8_t> planned_bytes(const PlannedBlock& planned);

// One line of the listing: a copy the relabel rewrites, in its group, with
// the identifier it will hold (UTF-8), the index of its block's write, and
// on a volume of more than one session the number of its session (1 for
// the first). `fields` are the other fields an identifier option or the
// write protection sets in it, each with its text as it will be written
// ("on" or "off" for the write protection).
struct PlanLine {
  CopyKind kind = CopyKind::PrimaryVolume;
  uint32_t block = 0;
  CopyPlace place = CopyPlace::MainSequence;
  std::string identifier;
  std::vector<std::pair<Field, std::string>> fields;
  WriteGroup group = WriteGroup::First;
  size_t write = 0;
  std::optional<uint32_t> session;
};

// What the plan met besides the copies it rewrites, in the order of the
// copies: a copy the change rewrites that does not verify (at `block`) and
// could not be mended, no File Set Descriptor for a new label (in the
// volume, or in session number `session`, 1 for the first, of a volume of
// more than one; not after a read that failed, which may have kept it
// unread), a read that failed (first of all); and a copy that does
// not verify, mended from its twin at `from`, which leaves the plan
// complete.
enum class ProblemKind : uint8_t { Damaged, FileSetNotFound, SessionFileSetNotFound, ReadError, Repaired };
struct Problem {
  ProblemKind kind = ProblemKind::Damaged;
  uint32_t block = 0;
  uint32_t from = 0;
  uint32_t session = 0;
};

struct Plan {
  std::vector<PlannedBlock> writes;  // in the order planned
  std::vector<PlanLine> lines;       // in the order planned
  std::vector<Problem> problems;     // in the order of the copies
};

// Plans `change` over every verified copy of `volume` it rewrites: a new
// label goes into every kind, with the character sets set to CS0 and the
// File Set Identifier too; a new UUID into each Primary Volume Descriptor's
// Volume Set Identifier; in every session. A copy that does not verify is
// mended from its twin where it has one that does: a Primary, "*UDF LV Info"
// Implementation Use or Logical Volume Descriptor from the copy at the same
// position of the other sequence of its session (both extents of one
// length), a File Set Descriptor copy from the other copy; the twin's bytes
// with the copy's own Tag Location, the change laid over them, written in
// the copy's own group. Any other is a problem.
Plan plan_relabel(const Volume& volume, const Change& change);

// Whether the plan covers every copy the change rewrites: no problem but
// mended copies.
bool plan_complete(const Plan& plan);
