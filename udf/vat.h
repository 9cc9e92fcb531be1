// The Virtual Allocation Table of a virtual partition (UDF 2.2.11): finding
// it at the end of the image, mapping virtual blocks through it, and
// rewriting the Logical Volume Identifier it carries.
#pragma once

#include <cstdint>
#include <optional>

#include "udf/state.h"

// The last whole block of the image that is not all zero bytes. Holes of a
// sparse file are skipped unread; at most 64 MiB of zero bytes are read, and
// a longer zero tail yields none.
std::optional<uint32_t> last_nonzero_block(RelabelContext* ctx);

// Looks at the last non-zero block and the three before it for the VAT's File
// Entry or Extended File Entry: it verifies with its block within the
// physical partition as Tag Location and is of file type 248 (UDF 2.00) or
// ends its data with the "*UDF Virtual Alloc Tbl" regid and a previous VAT
// location (UDF 1.50). `entry` is the virtual partition, whose start is that
// of the physical partition with its number.
std::optional<VatInfo> find_vat(RelabelContext* ctx, const PartitionEntry& entry);

// The block within the physical partition that virtual block `block` maps
// to; none for an entry outside the table or 0xFFFFFFFF.
std::optional<uint32_t> vat_lookup(RelabelContext* ctx, const VatInfo& vat, uint32_t block);

// In a relabel or dry run: plans the rewrite of the VAT's Logical Volume
// Identifier (the 2.00 header's, or the 1.50 entry's "*UDF VAT LVExtension"
// extended attribute's) with the new label, in the second write group,
// renewing the tag when it lies in the File Entry's block. An identifier that
// does not lie wholly inside the data and inside one block, or a File Entry
// that no longer verifies, is reported as damaged and left unchanged.
void plan_vat_identifier(RelabelContext* ctx, const VatInfo& vat);
