#include "udf/sessions.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "ecma167/tag.h"
#include "udf/layout.h"

namespace {

constexpr uint32_t kWindowBlocks = 8;
// The zero bytes read through at the end of a volume whose VAT may lie
// behind them.
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
constexpr uint32_t kFirstChunkBlocks = 4;

bool all_zero(std::span<const uint8_t> bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
}

// The last whole block before block `end` that is not all zero bytes, with
// the blocks read with it: up to four, ending with it.
struct ImageTail {
  uint32_t last = 0;
  uint32_t first = 0;          // the first block of `bytes`
  std::vector<uint8_t> bytes;  // blocks first to last as read
};

// The image's tail before block `end`. Holes of a sparse file are skipped
// unread; at most `zero_limit` zero bytes are read on the way, and a longer
// zero tail yields none.
std::optional<ImageTail> read_image_tail(ImageContext* image, uint64_t end, uint64_t zero_limit) {
  const uint32_t size = image->block_size;
  const uint64_t max_chunk = std::max<uint64_t>(1, kLargestChunkBytes / size);
  uint64_t zero_bytes = 0;
  uint64_t end_block = std::min({image->image_blocks, end, uint64_t{1} << 32});
  while (end_block > 0) {
    const auto region = last_data_region(image, end_block * size);
    if (!region) return std::nullopt;
    const uint64_t first_block = region->first / size;
    uint64_t e = std::min(end_block, (region->last + size - 1) / size);
    uint64_t chunk = std::min<uint64_t>(kFirstChunkBlocks, max_chunk);
    while (e > first_block) {
      uint64_t n = std::min({chunk, e - first_block, (zero_limit - zero_bytes) / size});
      if (n == 0) return std::nullopt;
      const uint64_t s = e - n;
      // The buffer grows with the chunks: most searches end in the first.
      const std::span<uint8_t> bytes = scratch_bytes(image, static_cast<size_t>(n * size));
      if (read_sectors(image, static_cast<uint32_t>(s), static_cast<uint32_t>(n), bytes) != n) return std::nullopt;
      for (uint64_t j = n; j-- > 0;) {
        if (!all_zero(bytes.subspan(static_cast<size_t>(j * size), size))) {
          ImageTail tail;
          tail.last = static_cast<uint32_t>(s + j);
          const uint64_t kept = std::min<uint64_t>(j + 1, kFirstChunkBlocks);
          tail.first = static_cast<uint32_t>(tail.last + 1 - kept);
          const auto from = bytes.subspan(static_cast<size_t>((j + 1 - kept) * size), static_cast<size_t>(kept * size));
          tail.bytes.assign(from.begin(), from.end());
          return tail;
        }
        zero_bytes += size;
        if (zero_bytes >= zero_limit) return std::nullopt;
      }
      e = s;
      chunk = std::min(chunk * 2, max_chunk);
    }
    end_block = first_block;
  }
  return std::nullopt;
}

std::optional<uint32_t> vat_partition_start(const ImageTail& tail, uint32_t size) {
  for (uint32_t block = tail.last + 1; block-- > tail.first;) {
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

}  // namespace

SequenceExtent read_sequence_extent(ConstBlockSpan anchor, size_t offset) {
  return SequenceExtent{get_u32(anchor, offset + extent_ad::kLength), get_u32(anchor, offset + extent_ad::kLocation)};
}

SessionTail read_session_tail(ImageContext* image, uint64_t end, SequenceExtent first_main, bool deep) {
  SessionTail found;
  // Without a virtual partition, four blocks but at most 8 KiB (one block
  // where a block is larger): the cost on a single-session image.
  constexpr uint64_t kShallowBlocks = 4;
  constexpr uint64_t kShallowBytes = 8192;
  const uint32_t size = image->block_size;
  const uint64_t shallow = std::clamp(kShallowBytes / size, uint64_t{1}, kShallowBlocks) * size;
  const auto tail = read_image_tail(image, end, deep ? kDeepZeroBytes : shallow);
  if (!tail) return found;
  found.last = tail->last;
  const auto last_bytes = std::span(tail->bytes).last(size);
  const auto differs = [&](ConstBlockSpan anchor) {
    return read_sequence_extent(anchor, avdp::kMainSequenceExtent) != first_main;
  };
  if (verifies_as(last_bytes, kTagAnchorPointer, tail->last)) {
    if (differs(last_bytes)) found.closing_anchor.emplace(last_bytes.begin(), last_bytes.end());
    return found;
  }
  const uint16_t tag = tag_identifier(last_bytes);
  if ((tag == kTagFileEntry || tag == kTagExtendedFileEntry) && tail->last >= avdp::kFirstBlock) {
    const uint32_t block = tail->last - avdp::kFirstBlock;
    std::vector<uint8_t> anchor(size, 0);
    if (read_sectors(image, block, 1, anchor) == 1 && verifies_as(anchor, kTagAnchorPointer, block)) {
      if (differs(anchor)) found.closing_anchor = std::move(anchor);
      return found;
    }
  }
  found.vat_partition_start = vat_partition_start(*tail, size);
  return found;
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
