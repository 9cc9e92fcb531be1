// The two tables of what carries a volume's identity. The descriptor table:
// for each label-carrying kind its tag, its name and the identifier a listing
// shows for it. The field table: which kind carries which identifier field,
// at which offset, of which size and form, with which character set field.
// Scanning, planning, the listing, the report and the JSON all read them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

enum class CopyKind : uint8_t { PrimaryVolume, LvInfo, LogicalVolume, FileSet, Vat };

// The identifier fields a run shows and sets, in the order of the options
// that set them.
enum class Field : uint8_t {
  VolumeIdentifier,
  LogicalVolumeIdentifier,
  FileSetIdentifier,
  VolumeSetIdentifier,
  Owner,
  Organization,
  Contact,
  ApplicationIdentifier,
  ImplementationIdentifier,
  DomainFlags,
};
constexpr size_t kFieldCount = 10;

// How a field holds its value: a d-string (1/7.2.12), the 23 identifier
// bytes of an entity identifier (1/7.4), or a domain identifier's flags byte
// (UDF 2.1.5.3).
enum class FieldForm : uint8_t { Dstring, EntityIdentifier, DomainFlags };

// A field of one kind of descriptor: where it lies, its size and the
// charspec that describes it (none for the VAT's and for entity
// identifiers). The VAT's Logical Volume Identifier lies where the scan
// found it; its offset here is 0.
struct FieldPlace {
  CopyKind kind;
  Field field;
  FieldForm form;
  size_t offset;
  size_t size;
  std::optional<size_t> charset;
};

// Every row of the field table, in kind order.
std::span<const FieldPlace> field_places();

// The row of `field` in descriptors of `kind`; none when it carries none.
std::optional<FieldPlace> field_place(CopyKind kind, Field field);

struct LabelDescriptor {
  CopyKind kind;
  uint16_t tag;  // 0 for the VAT, which is not a descriptor of its own
  const char* name;
  Field shown;  // the identifier the listing and the report show for a copy
};

const LabelDescriptor& label_descriptor(CopyKind kind);

// The kind of label-carrying descriptor `descriptor` is, from its tag (and
// for an Implementation Use Volume Descriptor its "*UDF LV Info" regid);
// none for any other.
std::optional<CopyKind> label_kind(std::span<const uint8_t> descriptor);

// Whether the domain identifier whose 23 identifier bytes begin at `offset`
// is "*OSTA UDF Compliant", the only domain whose suffix holds the UDF
// revision and the write-protect flags.
bool is_udf_domain(std::span<const uint8_t> descriptor, size_t offset);
