#include "udf/sessions.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "ecma167/tag.h"
#include "udf/layout.h"

namespace {

constexpr uint32_t kWindowBlocks = 8;
// The zero bytes read through, as holes are skipped, to find where the data
// before a session, or the image's, ends.
constexpr uint64_t kDeepZeroBytes = uint64_t{64} << 20;
constexpr std::string_view kBeginExtendedArea = "BEA01";

// Whether the recognition sequence of a session starting at `start` holds a
// Beginning Extended Area Descriptor and, after it, NSR02 or NSR03, up to the
// first descriptor of Structure Version 0.
bool session_recognised(ImageContext* image, uint32_t start) {
  const uint32_t stride = std::max(image->block_size, kDescriptorSize);
  const uint64_t first = uint64_t{start} * image->block_size + vsd::kFirstByte;
  std::array<uint8_t, kDescriptorSize> descriptor{};
  bool extended_area = false;
  for (size_t k = 0; k < vsd::kScanDescriptors; ++k) {
    if (read_bytes(image, first + uint64_t{stride} * k, descriptor) != descriptor.size()) return false;
    if (get_u8(descriptor, vsd::kStructureVersion) == 0) return false;
    const auto identifier = std::span(descriptor).subspan(vsd::kStandardIdentifier, vsd::kStandardIdentifierSize);
    if (bytes_are(identifier, kBeginExtendedArea)) extended_area = true;
    if (extended_area && (bytes_are(identifier, "NSR02") || bytes_are(identifier, "NSR03"))) return true;
  }
  return false;
}

constexpr uint64_t kLargestChunkBytes = uint64_t{1} << 20;
// A session's end is read as its last non-zero block and the three before
// it: a VAT may be followed by a few blocks.
constexpr uint32_t kTailBlocks = 4;
// The gaps writers leave between a session's last block and the next
// session's start, in sectors of 2048 bytes, nearest first: a 150-sector
// pregap, and a CD-R's lead-out, lead-in and pregap after a later session
// (2,250 + 4,500 + 150) and after the first (6,750 + 4,500 + 150). (The 150
// blocks of padding genisoimage puts at a session's end hold anchors: the
// session ends there.)
constexpr std::array<uint64_t, 3> kUsualGapSectors = {150, 6900, 11400};
constexpr uint64_t kSectorBytes = 2048;

bool all_zero(std::span<const uint8_t> bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
}

// The last whole block before a block `end` that is not all zero bytes, with
// the blocks read with it: up to four, ending with it.
struct ImageTail {
  uint32_t last = 0;
  uint32_t first = 0;          // the first block of `bytes`
  std::vector<uint8_t> bytes;  // blocks first to last as read
};

// The tail found in `bytes` (blocks from `first` on), when a block of it is
// not all zero: the last such, and up to three before it.
std::optional<ImageTail> last_data_in(std::span<const uint8_t> bytes, uint64_t first, uint32_t size) {
  for (uint64_t j = bytes.size() / size; j-- > 0;) {
    if (all_zero(bytes.subspan(static_cast<size_t>(j * size), size))) continue;
    ImageTail tail;
    tail.last = static_cast<uint32_t>(first + j);
    const uint64_t kept = std::min<uint64_t>(j + 1, kTailBlocks);
    tail.first = static_cast<uint32_t>(tail.last + 1 - kept);
    const auto from = bytes.subspan(static_cast<size_t>((j + 1 - kept) * size), static_cast<size_t>(kept * size));
    tail.bytes.assign(from.begin(), from.end());
    return tail;
  }
  return std::nullopt;
}

// How a search for the image's last data before a block ended: the tail, or
// the zero bytes read before it stopped at their limit, at block `stopped`
// (the blocks from there to where it began are zeros or holes).
struct TailSearch {
  std::optional<ImageTail> tail;
  bool limit_reached = false;
  uint64_t stopped = 0;
  uint64_t zero_bytes = 0;
};

// The image's tail before block `end`. Holes of a sparse file are skipped
// unread; zero bytes are read, one block first and then in growing chunks,
// until `zero_bytes` of them reach `zero_limit`.
TailSearch search_tail(ImageContext* image, uint64_t end, uint64_t zero_limit, uint64_t zero_bytes) {
  TailSearch search;
  const uint32_t size = image->block_size;
  const uint64_t max_chunk = std::max<uint64_t>(1, kLargestChunkBytes / size);
  uint64_t end_block = std::min({image->image_blocks, end, uint64_t{1} << 32});
  uint64_t chunk = 1;
  while (end_block > 0) {
    const auto region = last_data_region(image, end_block * size);
    if (!region) return search;
    const uint64_t first_block = region->first / size;
    uint64_t e = std::min(end_block, (region->last + size - 1) / size);
    while (e > first_block) {
      const uint64_t n = std::min({chunk, e - first_block, (zero_limit - zero_bytes) / size});
      if (n == 0) {
        search.limit_reached = true;
        search.stopped = e;
        search.zero_bytes = zero_bytes;
        return search;
      }
      const uint64_t s = e - n;
      // The buffer grows with the chunks: most searches end in the first.
      const std::span<uint8_t> bytes = scratch_bytes(image, static_cast<size_t>(n * size));
      if (read_sectors(image, static_cast<uint32_t>(s), static_cast<uint32_t>(n), bytes) != n) return search;
      search.tail = last_data_in(bytes, s, size);
      if (search.tail) return search;
      zero_bytes += n * size;
      e = s;
      chunk = std::min(chunk == 1 ? kTailBlocks - 1 : chunk * 2, max_chunk);
    }
    end_block = first_block;
  }
  return search;
}

std::optional<uint32_t> vat_partition_start(const ImageTail& tail, uint32_t from, uint32_t size) {
  for (uint32_t block = tail.last + 1; block-- > from;) {
    const auto bytes = std::span(tail.bytes).subspan(size_t{block - tail.first} * size, size);
    const uint16_t tag = tag_identifier(bytes);
    if (tag != kTagFileEntry && tag != kTagExtendedFileEntry) continue;
    const uint32_t location = get_u32(bytes, kTagLocationOffset);
    if (location > block || !tag_verifies(bytes, location)) continue;
    const uint8_t type = get_u8(bytes, fe::kFileType);
    if (type == vat::kFileType200 || type == 0) return block - location;
  }
  return std::nullopt;
}

// What `tail` says of the session it ends (see SessionTail). The first
// session's VAT as the last block ends it without another read; the three
// blocks before the last are read when they were not and are needed.
SessionTail classify_tail(ImageContext* image, ImageTail tail, const FirstSession& first) {
  SessionTail found;
  found.last = tail.last;
  const uint32_t size = image->block_size;
  const auto anchor_found = [&](ConstBlockSpan anchor) {
    found.ends_session = true;
    if (read_sequence_extent(anchor, avdp::kMainSequenceExtent) != first.main) {
      found.closing_anchor.emplace(anchor.begin(), anchor.end());
    }
    return found;
  };
  const auto last_bytes = std::span(tail.bytes).last(size);
  if (verifies_as(last_bytes, kTagAnchorPointer, tail.last)) return anchor_found(last_bytes);
  const uint16_t tag = tag_identifier(last_bytes);
  const bool entry = tag == kTagFileEntry || tag == kTagExtendedFileEntry;
  const auto own = vat_partition_start(tail, tail.last, size);
  const auto& starts = first.partition_starts;
  if (own && std::find(starts.begin(), starts.end(), *own) != starts.end()) {
    found.vat_partition_start = own;
    found.ends_session = true;
    return found;
  }
  if ((entry || first.write_once) && tail.last >= avdp::kFirstBlock) {
    const uint32_t block = tail.last - avdp::kFirstBlock;
    std::vector<uint8_t> anchor(size, 0);
    if (read_sectors(image, block, 1, anchor) == 1 && verifies_as(anchor, kTagAnchorPointer, block)) {
      return anchor_found(anchor);
    }
  }
  if (own) {
    found.vat_partition_start = own;
    found.ends_session = true;
    return found;
  }
  // The blocks before the last, which the search may not have read.
  const uint32_t from = tail.last - std::min(tail.last, kTailBlocks - 1);
  if (from < tail.first) {
    std::vector<uint8_t> bytes(size_t{tail.first - from} * size, 0);
    if (read_sectors(image, from, tail.first - from, bytes) == tail.first - from) {
      bytes.insert(bytes.end(), tail.bytes.begin(), tail.bytes.end());
      tail.bytes = std::move(bytes);
      tail.first = from;
    }
  }
  found.vat_partition_start = vat_partition_start(tail, tail.first, size);
  found.ends_session = found.vat_partition_start.has_value();
  return found;
}

}  // namespace

SequenceExtent read_sequence_extent(ConstBlockSpan anchor, size_t offset) {
  return SequenceExtent{get_u32(anchor, offset + extent_ad::kLength), get_u32(anchor, offset + extent_ad::kLocation)};
}

SessionTail read_session_tail(ImageContext* image, uint64_t end, const FirstSession& first) {
  // Four blocks but at most 8 KiB (one block where a block is larger) of
  // zero bytes before the usual gaps are looked at.
  constexpr uint64_t kNearBytes = 8192;
  const uint32_t size = image->block_size;
  const uint64_t near_limit = std::clamp<uint64_t>(kNearBytes / size, 1, kTailBlocks) * size;
  const TailSearch near = search_tail(image, end, near_limit, 0);
  if (near.tail) return classify_tail(image, *near.tail, first);
  if (!near.limit_reached) return {};
  // At the image's end a zero tail is read through only on a write-once
  // volume, whose VAT may lie behind one: a dense single-session image that
  // ends in zeros costs no more than its sparse copy.
  if (end >= image->image_blocks && !first.write_once) return {};
  const uint64_t top = std::min(end, image->image_blocks);
  for (uint64_t gap : kUsualGapSectors) {
    const uint64_t back = gap * kSectorBytes / size;
    if (top < back + kTailBlocks) break;
    const uint64_t window_end = top - back;
    const std::span<uint8_t> bytes = scratch_bytes(image, size_t{kTailBlocks} * size);
    if (read_sectors(image, static_cast<uint32_t>(window_end - kTailBlocks), kTailBlocks, bytes) != kTailBlocks) continue;
    const auto tail = last_data_in(bytes, window_end - kTailBlocks, size);
    if (!tail) continue;
    // The nearest data found decides. It ends a session when its last block
    // is what a session of the volume's kind ends with: its VAT on a
    // write-once volume (an anchor there may open a session, whose VAT
    // lies after it), else an anchor. Anything else is read up to through
    // the zeros.
    const auto last_bytes = std::span(tail->bytes).last(size);
    const bool ends = first.write_once ? vat_partition_start(*tail, tail->last, size).has_value()
                                       : verifies_as(last_bytes, kTagAnchorPointer, tail->last);
    if (ends) return classify_tail(image, *tail, first);
    break;
  }
  const TailSearch deep = search_tail(image, near.stopped, kDeepZeroBytes, near.zero_bytes);
  if (deep.tail) return classify_tail(image, *deep.tail, first);
  return {};
}

std::vector<BlockRange> anchor_search_ranges(uint32_t partition_start) {
  constexpr std::array<uint32_t, 3> kUsualGaps = {1, 16, 32};
  constexpr uint32_t kWindows = 8;
  std::vector<BlockRange> ranges;
  for (uint32_t gap : kUsualGaps) {
    if (partition_start > gap) ranges.push_back(BlockRange{partition_start - gap, partition_start - gap + 1});
  }
  for (uint32_t window = 0; window < kWindows; ++window) {
    const uint32_t top = kWindowBlocks * window;
    if (partition_start <= top + 1) break;
    const uint32_t end = partition_start - top;
    ranges.push_back(BlockRange{std::max<uint32_t>(end - std::min(end, kWindowBlocks), 1), end});
  }
  return ranges;
}

std::vector<SessionAnchor> session_anchors_in(ImageContext* image, BlockRange range) {
  std::vector<SessionAnchor> anchors;
  const uint32_t first = range.first;
  const uint32_t end = range.end;
  if (first >= end) return anchors;
  const uint32_t size = image->block_size;
  const uint32_t count = end - first;
  std::vector<uint8_t> chunk(size_t{count} * size, 0);
  const uint32_t read = read_sectors(image, first, count, chunk);
  for (uint32_t i = read; i-- > 0;) {
    const uint32_t block = first + i;
    const auto bytes = std::span(chunk).subspan(size_t{i} * size, size);
    if (!verifies_as(bytes, kTagAnchorPointer, block)) continue;
    for (uint32_t back : {avdp::kFirstBlock, avdp::kSecondBlock}) {
      if (block <= back || !session_recognised(image, block - back)) continue;
      anchors.push_back(SessionAnchor{block - back, {bytes.begin(), bytes.end()}});
      break;
    }
  }
  return anchors;
}
