// The sessions of a multi-session disc image. Each session is a volume of its
// own; only its recognition sequence (at byte S x block size + 32768) and its
// anchors (at S + 256 or S + 512, and on a closed session at its end) lie
// relative to its start S, everything else is addressed absolutely. The
// sessions are found from the end: the image's last non-zero block belongs
// to the last session, whose anchor lies a few blocks before its partition;
// the session before it ends at the last non-zero block before its start.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "image/context.h"
#include "udf/volume.h"

// An extent_ad as an anchor gives it.
SequenceExtent read_sequence_extent(ConstBlockSpan anchor, size_t offset);

// What identifies the first session's own end: its main sequence (its
// closing anchor's too), its partitions' starts (its VAT's partition, or a
// later VAT's when the sessions are linked) and whether it is a write-once
// volume (a virtual partition: every session ends with a VAT).
struct FirstSession {
  SequenceExtent main;
  std::vector<uint32_t> partition_starts;
  bool write_once = false;
};

// What the end of a part of the image (the blocks before `end`) says of the
// session that ends there. `last` is its last non-zero block. A verified
// anchor at `last`, or at `last` - 256 when `last` holds a File Entry or on a
// write-once volume (a closed write-once session: its VAT last, its closing
// anchor 256 blocks before), whose main sequence is not the first session's,
// is `closing_anchor`. Else a verified File Entry or Extended File Entry of
// file type 248 or 0 among the last four blocks, which may be the session's
// VAT, gives the start of its partition: its block less its Tag Location.
// `ends_session` says that one of these was found (the first session's own
// anchor or VAT included).
struct SessionTail {
  std::optional<uint32_t> last;
  std::optional<std::vector<uint8_t>> closing_anchor;
  std::optional<uint32_t> vat_partition_start;
  bool ends_session = false;
};
// Holes of a sparse file are skipped unread, and zero bytes are read through
// as holes are, so that a dense copy has the tail its sparse original has.
// After four zero blocks (8 KiB at most), the blocks where writers leave the
// end of the session before the next one are looked at first: `end` less
// the usual gaps (150, 6,900 and 11,400 sectors of 2048 bytes), four blocks
// each. The first of them that is not all zeros decides: it is the tail
// when its last non-zero block is what a session ends with (its VAT on a
// write-once volume, else an anchor), otherwise the zeros are read through.
// At most 64 MiB of zero bytes are read; a longer zero run yields no tail.
// At the image's end (`end` its block count) only a write-once volume, whose
// VAT may lie behind zeros, is read past the first four blocks.
SessionTail read_session_tail(ImageContext* image, uint64_t end, const FirstSession& first);

// A session's start and its anchor as read.
struct SessionAnchor {
  uint32_t start = 0;
  std::vector<uint8_t> bytes;
};

// A run of blocks where a session's anchor is looked for: `first` up to, not
// including, `end`.
struct BlockRange {
  uint32_t first = 0;
  uint32_t end = 0;
};

// Where the anchor of the session whose partition starts at block
// `partition_start` is looked for, in order: the blocks where writers put
// it (1, 16 and 32 blocks before the partition on mkudffs CD-R, DVD-R and
// BD-R images), one block each, then the 64 blocks before the partition in
// windows of 8, nearest to it first. None reaches block 0. A session whose
// VAT is not found is looked for the same way from its last non-zero block
// (as if its partition started after it).
std::vector<BlockRange> anchor_search_ranges(uint32_t partition_start);

// The anchors in `range` that may open a session, the highest block first:
// each verified anchor whose recognition sequence, 256 or 512 blocks before
// it and after block 0, holds a Beginning Extended Area Descriptor followed
// by NSR02 or NSR03. The session starts there.
std::vector<SessionAnchor> session_anchors_in(ImageContext* image, BlockRange range);

// At most this many sessions are looked for (a CD holds at most 99).
constexpr size_t kMaxSessions = 99;
