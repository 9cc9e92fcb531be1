// Label capture from File Set Descriptors and the rewriting of every
// descriptor that carries the label: the one place where the image changes.
#pragma once

#include <array>
#include <span>

#include "image/context.h"

// Decodes a 128-byte Logical Volume Identifier d-string into UTF-16 units
// from the start of `out`, over what it holds. A length byte above 127 is cut
// to the field: at most 126 character bytes are read. Compression IDs other
// than 8 and 16 and an empty identifier write nothing.
void decode_lv_identifier(std::span<const uint8_t, 128> identifier,
                          std::array<char16_t, kLabelUnits>* out);

// Captures the label from a File Set Descriptor into `captured_label` (while
// its first unit is 0), then in relabel mode rewrites the identifier fields
// of a Primary, UDF Implementation Use ("*UDF LV Info") or Logical Volume
// Descriptor or a File Set Descriptor with the new label, sets their
// character sets to CS0, revalidates the tag and writes the sector back.
// Any other descriptor is left alone. Always returns true.
bool patch_and_write_descriptor(RelabelContext* ctx, SectorSpan descriptor, uint32_t sector);
