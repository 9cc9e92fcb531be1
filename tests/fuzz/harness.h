// The fuzz harness: one input describes a label and a sparse image; the
// harness runs a whole query and a whole relabel over it, in process, and
// checks what the sanitizers cannot see.
//
// Input format, all numbers little-endian:
//   u8 L, then L bytes          the label argument of the relabel run
//   u32 S, u16 T                the image is S sectors and T % 2048 bytes long
//   records to the end:         u32 sector, u16 n, then n bytes (n cut to 2048
//                               and to what is left), the start of that sector;
//                               the rest of it, and every sector no record
//                               names, reads as zeros
// A field cut short by the end of the input reads as if padded with zeros.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "memory_image.h"

struct FuzzCase {
  std::string label;
  MemoryImage image;
};

FuzzCase parse_fuzz_input(std::span<const uint8_t> data);

// The inverse, for the seed corpus: each non-zero sector of `image` (a whole
// image, `size` bytes) becomes a record without its trailing zeros.
std::vector<uint8_t> encode_fuzz_input(const std::string& label, std::span<const uint8_t> image);

// What the runs did, for the tests of the harness itself.
struct FuzzRunSummary {
  int query_status = -1;
  int dry_run_status = -1;
  int relabel_status = -1;
  size_t relabel_writes = 0;
  uint32_t block_size = 0;  // of the relabel's writes; 0 without writes
};

// Runs `volquill -v IMAGE` (the query with its volume report), `volquill -n
// -u UUID IMAGE LABEL` and `volquill -vu UUID IMAGE LABEL` over the input's
// image and checks that
//   - each exits with status 0 or 1; a refused label gives 1 without opening
//     the image; a volume the query does not find is not written; the dry run
//     exits as the relabel does;
//   - the query and the dry run open the image read-only and write nothing;
//   - the relabel writes whole blocks of one block size B, inside the image,
//     and keeps the image's size. Each written block held, before the run, a
//     verified descriptor of tag identifier 1, 4, 6 (Tag Location its block)
//     or 256, and still verifies with the same identifier and Tag Location
//     (tag checksum, CRC Length at most B - 16, CRC); or it is the block of a
//     Virtual Allocation Table's Logical Volume Identifier: a verified File
//     Entry or Extended File Entry, still verified, or a block without a
//     verified tag, in either of which no byte outside one 128-byte field
//     (and the tag's checksum and CRC) changed, on an image whose last four
//     non-zero blocks hold such an entry;
//   - a relabel that exits 0 rewrote a File Set Descriptor.
// Returns an empty string when every check holds, else what failed.
std::string check_fuzz_input(std::span<const uint8_t> data, FuzzRunSummary* summary = nullptr);
