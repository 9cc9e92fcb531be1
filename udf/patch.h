// Label capture, the rewriting of every descriptor that carries the label,
// and the lines a relabel prints about the blocks it rewrites or cannot: the
// one place where descriptors change.
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

// Whether the descriptor is an Implementation Use Volume Descriptor of the
// UDF logical volume information layout ("*UDF LV Info", UDF 2.2.7.2).
bool is_lv_info(ConstBlockSpan descriptor);

// In relabel mode: rewrites the identifier fields of a verified Primary,
// "*UDF LV Info" Implementation Use or Logical Volume Descriptor or File Set
// Descriptor with the new label, sets their character sets to CS0, renews
// the tag, lists the block (dry run, verbose) as "NAME at block N" followed by
// `where`, and writes it back unless this is a dry run. Anything else, and
// anything in query mode, is left alone.
void patch_and_write_descriptor(RelabelContext* ctx, BlockSpan descriptor, uint32_t block, const char* where);

// Lists a block that a relabel rewrites or, in a dry run, would rewrite.
void list_block(const RelabelContext* ctx, const char* name, uint32_t block, const char* where);

// In relabel mode: reports a label-carrying descriptor that does not verify
// and is left unchanged, and counts it against the relabel's success.
void report_damaged(RelabelContext* ctx, uint32_t block);

// Writes a rewritten block unless this is a dry run.
void commit_block(RelabelContext* ctx, uint32_t block, ConstBlockSpan bytes);
