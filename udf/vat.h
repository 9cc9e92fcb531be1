// The Virtual Allocation Table of a virtual partition (UDF 2.2.11): finding
// it among the last blocks of the image or session, mapping virtual blocks through it, and
// rewriting the Logical Volume Identifier it carries.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "image/context.h"
#include "udf/volume.h"

// Looks at the last non-zero block `last` (of the image, or of the session
// the partition belongs to) and the three before it for the VAT's File
// Entry or Extended File Entry: it verifies with its block within the
// physical partition as Tag Location and is of file type 248 (UDF 2.00) or
// ends its data with the "*UDF Virtual Alloc Tbl" regid and a previous VAT
// location (UDF 1.50). Only blocks from the partition's start on are looked
// at. A 2.00 entry whose header cannot be reached is the VAT all the same,
// with no header. `entry` is the virtual partition, whose start is that of
// the physical partition with its number. When none is found, `damaged` is
// set to the first of those blocks that holds a File Entry or Extended File
// Entry whose tag checksum is right and whose Tag Location is its block
// within the partition, but which does not verify.
std::optional<VatInfo> find_vat(ImageContext* image, const PartitionEntry& entry, std::optional<uint32_t> last,
                                std::optional<uint32_t>* damaged);

// The block within the physical partition that virtual block `block` maps
// to; none for an entry outside the table or 0xFFFFFFFF.
std::optional<uint32_t> vat_lookup(ImageContext* image, const VatInfo& vat, uint32_t block);

// The VAT's Logical Volume Identifier as a label-carrying copy: the 2.00
// header's, or the 1.50 entry's "*UDF VAT LVExtension" extended attribute's,
// with the block that holds it (tagged when that is the File Entry's). None
// for a 1.50 VAT without that attribute, or when the block that holds it
// fails to read. An identifier that does not lie wholly inside the data and
// inside one block, or in a block past the image's end, gives a copy that
// does not verify, at the File Entry's block.
std::optional<LabelCopy> read_vat_identifier(ImageContext* image, const VatInfo& vat);
