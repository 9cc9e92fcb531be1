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

// What the two runs did, for the tests of the harness itself.
struct FuzzRunSummary {
  int query_status = -1;
  int relabel_status = -1;
  size_t relabel_writes = 0;
};

// Runs `volquill IMAGE` and `volquill IMAGE LABEL` over the input's image and
// checks that
//   - both exit with status 0 or 1, and with the same status unless the label
//     is refused (then 1, and the image is never opened);
//   - the query opens the image read-only and writes nothing;
//   - the relabel writes only whole sectors, inside the image, whose original
//     tag identifier is 1, 4, 6 or 256, each left with a valid tag checksum and
//     a CRC over at most 2032 bytes; the image keeps its size.
// Returns an empty string when every check holds, else what failed.
std::string check_fuzz_input(std::span<const uint8_t> data, FuzzRunSummary* summary = nullptr);
