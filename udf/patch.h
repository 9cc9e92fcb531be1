// Label capture, the rewriting of every descriptor that carries the label,
// and the report of one that cannot be: the one place where descriptors
// change.
#pragma once

#include <array>
#include <optional>
#include <span>
#include <string>

#include "udf/state.h"

// Decodes a 128-byte Logical Volume Identifier d-string into UTF-16 units
// from the start of `out`, over what it holds. A length byte above 127 is cut
// to the field: at most 126 character bytes are read. Compression IDs other
// than 8 and 16 and an empty identifier write nothing.
void decode_lv_identifier(std::span<const uint8_t, 128> identifier,
                          std::array<char16_t, kLabelUnits>* out);

// Whether the descriptor is an Implementation Use Volume Descriptor of the
// UDF logical volume information layout ("*UDF LV Info", UDF 2.2.7.2).
bool is_lv_info(ConstBlockSpan descriptor);

// Where a label-carrying descriptor of tag identifier `tag` holds the label:
// the Primary Volume Descriptor's Volume Identifier, the Logical Volume
// Identifier of the others.
struct IdentifierField {
  size_t offset = 0;
  size_t size = 0;
};
std::optional<IdentifierField> label_field(uint16_t tag);

// The label a descriptor holds, as UTF-8 (its label_field).
std::string descriptor_identifier(ConstBlockSpan descriptor);

// Rewrites the identifier fields of a Primary, "*UDF LV Info" Implementation
// Use or Logical Volume Descriptor or File Set Descriptor with `label`
// (setting their character sets to CS0), and a Primary Volume Descriptor's
// Volume Set Identifier with `uuid`; either may be null. Renews the tag,
// keeping its CRC Length. Returns the descriptor's name ("Primary Volume
// Descriptor"), or none when nothing changed.
const char* patch_descriptor(BlockSpan descriptor, const LabelDStrings* label, const UuidDigits* uuid);

// In a relabel or dry run: adds the rewrite of the verified descriptor read
// at absolute `block` to the plan, listed as "NAME at block N" followed by
// `where`, in `group`. Anything that carries no label, and anything in query
// mode, plans nothing.
void plan_descriptor(RelabelContext* ctx, ConstBlockSpan descriptor, uint32_t block, const char* where,
                     WriteGroup group);

// In a query that reports the volume: records the label-carrying descriptor
// met at `block`, with its identifiers when it verifies.
void record_copy(RelabelContext* ctx, ConstBlockSpan descriptor, uint32_t block, const char* where, bool verified);

// In a relabel or dry run: reports a label-carrying descriptor that does not
// verify and is left unchanged, and counts it against the relabel's success.
void report_damaged(RelabelContext* ctx, uint32_t block);
