// The one table of label-carrying descriptors: for each kind its tag, its
// name, the d-string field that holds the label with its character set, and
// a second field a relabel writes too (the File Set Identifier). Patching,
// naming, the listing and the report all read it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

enum class CopyKind : uint8_t { PrimaryVolume, LvInfo, LogicalVolume, FileSet, Vat };

// A d-string field and the charspec that describes it (none for the VAT's).
struct LabelField {
  size_t offset = 0;
  size_t size = 0;  // 32 or 128 bytes: 30 or 126 8-bit characters, 15 or 63 16-bit ones
  std::optional<size_t> charset;
};

struct LabelDescriptor {
  CopyKind kind;
  uint16_t tag;  // 0 for the VAT, which is not a descriptor of its own
  const char* name;
  LabelField label;  // the VAT's lies where the scan found it
  std::optional<LabelField> second;
};

const LabelDescriptor& label_descriptor(CopyKind kind);

// The kind of label-carrying descriptor `descriptor` is, from its tag (and
// for an Implementation Use Volume Descriptor its "*UDF LV Info" regid);
// none for any other.
std::optional<CopyKind> label_kind(std::span<const uint8_t> descriptor);
