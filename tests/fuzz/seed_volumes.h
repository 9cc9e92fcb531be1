// Volumes for the fuzz seed corpus and the crash-safety test, made from the
// test builder's and mended where the builder still records what the tool no
// longer accepts (a File Set Descriptor's or metadata File Entry's Tag
// Location as its absolute sector). Every descriptor verifies.
#pragma once

#include <cstdint>
#include <string_view>

#include "image_builder.h"

namespace seeds {

// Both sequences of the builder's volumes: PVD at 32/48, "*UDF LV Info"
// IUVD one block later, LVD three blocks later.
constexpr uint32_t kMainSequence = 32;
constexpr uint32_t kReserveSequence = 48;

// Renews the tag of sector `n` with Tag Location `location`.
void retag(builder::Image* image, uint32_t n, uint32_t location);

// The builder's plain volume (File Set Descriptor at partition block 0) and
// metadata volume (metadata File Entries at blocks 0 and 100, or 0 and 1).
builder::Image plain_volume(std::string_view label);
builder::Image metadata_volume(std::string_view label, bool mirror_same_place = false);

// The same volume with blocks of `block_size` bytes: block n holds the
// first bytes of sector n (all of it, zero-padded, for larger blocks), the
// recognition sequence lies every max(block_size, 2048) bytes from byte 32768,
// the anchor's extents and the Logical Block Size count such blocks. At least
// 257 x 2048 bytes long.
builder::Image with_block_size(const builder::Image& volume, uint32_t block_size);

// A sparable partition (packet length 32) with two sparing table copies at
// blocks 280 and 290; its first packet is moved to block 360, where the File
// Set Descriptor lies, while a stale copy stays at the partition's block 0
// (300). With `damaged_first`, the first table's CRC is wrong.
builder::Image sparable_volume(std::string_view label, bool damaged_first = false);

// A virtual partition over physical partition 0 (start 300): the File Set
// Descriptor at virtual block 0, which the VAT (UDF 2.00 form) maps to
// physical block 5; the VAT's File Entry at the image's last block (399),
// its data embedded or in physical block 98.
builder::Image virtual_volume(std::string_view label, bool vat_in_data_block = false);

// Two sessions: the virtual volume above, and at block 400 a second one, the
// same volume laid 400 blocks further on (its recognition sequence, anchor,
// sequences and partition there, its VAT the image's last block, 799),
// labelled `second`.
constexpr uint32_t kSecondSession = 400;
builder::Image two_session_volume(std::string_view label, std::string_view second);

}  // namespace seeds
