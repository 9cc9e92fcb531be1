#include "harness.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <optional>
#include <set>

#include "app/tool.h"
#include "image/utf.h"
#include "image_builder.h"

namespace {

// Reads little-endian fields off the input, zeros past its end.
struct InputReader {
  std::span<const uint8_t> data;
  size_t at = 0;

  bool done() const { return at >= data.size(); }
  uint64_t take(size_t bytes) {
    uint64_t value = 0;
    for (size_t i = 0; i < bytes; ++i, ++at) {
      if (at < data.size()) value |= uint64_t{data[at]} << (8 * i);
    }
    return value;
  }
  std::span<const uint8_t> take_bytes(size_t n) {
    const size_t start = std::min(at, data.size());
    const size_t count = std::min(n, data.size() - start);
    at = start + count;
    return data.subspan(start, count);
  }
};

void append_le(std::vector<uint8_t>* out, uint64_t value, size_t bytes) {
  for (size_t i = 0; i < bytes; ++i) out->push_back(static_cast<uint8_t>(value >> (8 * i)));
}

constexpr uint16_t kFileEntryTag = 261;
constexpr uint16_t kExtendedFileEntryTag = 266;
constexpr size_t kIdentifierField = 128;  // a Logical Volume Identifier

bool is_label_descriptor(uint16_t tag) { return tag == 1 || tag == 4 || tag == 6 || tag == 256; }
bool is_file_entry(uint16_t tag) { return tag == kFileEntryTag || tag == kExtendedFileEntryTag; }
bool is_block_size(uint64_t size) { return size >= 512 && size <= 32768 && (size & (size - 1)) == 0; }

std::vector<uint8_t> block_of(const MemoryImage& image, uint64_t block, uint32_t size) {
  std::vector<uint8_t> bytes(size);
  load_bytes(image, block * size, bytes);
  return bytes;
}

// Tag checksum, CRC Length within the block and CRC, as a reader checks them.
bool tag_holds(std::span<const uint8_t> bytes) { return bytes.size() >= 16 && builder::tag_is_valid(bytes); }
uint32_t tag_location(std::span<const uint8_t> bytes) { return builder::get_u32(bytes, 12); }

// Whether every byte that differs between the blocks, tag checksum and CRC
// aside, lies in one field of 128 bytes.
bool changes_fit_one_identifier(std::span<const uint8_t> before, std::span<const uint8_t> after) {
  std::optional<size_t> first;
  size_t last = 0;
  for (size_t i = 0; i < before.size(); ++i) {
    if (before[i] == after[i] || i == 4 || i == 8 || i == 9) continue;
    if (!first) first = i;
    last = i;
  }
  return !first || last - *first < kIdentifierField;
}

// Whether one of the last four non-zero whole blocks before a zero block (or
// the image's end) is a File Entry or Extended File Entry whose tag holds:
// where a VAT may lie, at the end of the image or of a session.
bool may_hold_vat(const MemoryImage& image, uint32_t size) {
  const uint64_t blocks = image.size / size;
  std::set<uint64_t> used;
  for (const auto& [sector, bytes] : image.sectors) {
    for (size_t i = 0; i < kMemorySectorSize; ++i) {
      const uint64_t at = sector * kMemorySectorSize + i;
      if (bytes[i] != 0 && at < blocks * size) used.insert(at / size);
    }
  }
  for (uint64_t last : used) {
    if (used.count(last + 1) != 0) continue;
    for (uint64_t k = 0; k < 4 && k <= last; ++k) {
      const auto bytes = block_of(image, last - k, size);
      if (is_file_entry(builder::get_u16(bytes, 0)) && tag_holds(bytes)) return true;
    }
  }
  return false;
}

// Runs the tool's whole command line `volquill OPTION... image.iso [LABEL]`
// over `image`; returns the exit status and leaves the image as the run left it.
int run_over(MemoryImage* image, std::vector<std::string> arguments) {
  served_image() = std::move(*image);
  arguments.insert(arguments.begin(), "volquill");
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  const int status = run_command_line(static_cast<int>(arguments.size()), argv.data());
  std::fflush(stdout);
  *image = std::move(served_image());
  served_image() = MemoryImage{};
  return status;
}

std::string describe(const char* what, int64_t value) {
  return std::string(what) + " " + std::to_string(value);
}

}  // namespace

FuzzCase parse_fuzz_input(std::span<const uint8_t> data) {
  InputReader in{data};
  FuzzCase c;
  const auto label = in.take_bytes(static_cast<size_t>(in.take(1)));
  c.label.assign(label.begin(), label.end());
  const uint64_t sectors = in.take(4);
  const uint64_t tail = in.take(2) % kMemorySectorSize;
  c.image.size = sectors * kMemorySectorSize + tail;
  while (!in.done()) {
    const uint64_t sector = in.take(4);
    const size_t n = std::min<size_t>(static_cast<size_t>(in.take(2)), kMemorySectorSize);
    const auto bytes = in.take_bytes(n);
    auto& stored = c.image.sectors[sector];
    stored = {};
    std::copy(bytes.begin(), bytes.end(), stored.begin());
  }
  return c;
}

std::vector<uint8_t> encode_fuzz_input(const std::string& label, std::span<const uint8_t> image) {
  std::vector<uint8_t> out;
  const size_t label_size = std::min<size_t>(label.size(), 255);
  out.push_back(static_cast<uint8_t>(label_size));
  for (size_t i = 0; i < label_size; ++i) out.push_back(static_cast<uint8_t>(label[i]));
  append_le(&out, image.size() / kMemorySectorSize, 4);
  append_le(&out, image.size() % kMemorySectorSize, 2);
  for (size_t first = 0; first < image.size(); first += kMemorySectorSize) {
    const auto sector = image.subspan(first, std::min(kMemorySectorSize, image.size() - first));
    size_t used = sector.size();
    while (used > 0 && sector[used - 1] == 0) --used;
    if (used == 0) continue;
    append_le(&out, first / kMemorySectorSize, 4);
    append_le(&out, used, 2);
    out.insert(out.end(), sector.begin(), sector.begin() + static_cast<std::ptrdiff_t>(used));
  }
  return out;
}

namespace {

// The checks of one relabel's writes (see harness.h).
std::string check_writes(const MemoryImage& original, const MemoryImage& relabelled, FuzzRunSummary* summary) {
  if (relabelled.writes.empty()) return {};
  const uint64_t size = relabelled.writes.front().size;
  if (!is_block_size(size)) return describe("write of", static_cast<int64_t>(size)) + " bytes";
  const auto block_size = static_cast<uint32_t>(size);
  summary->block_size = block_size;
  const uint64_t blocks = original.size / block_size;
  bool wrote_file_set = false;
  for (const MemoryWrite& write : relabelled.writes) {
    if (write.size != block_size || write.offset % block_size != 0) {
      return describe("write of a part of a block at offset", static_cast<int64_t>(write.offset));
    }
    const uint64_t block = write.offset / block_size;
    const auto number = static_cast<int64_t>(block);
    if (block >= blocks) return describe("write outside the image at block", number);
    const auto before = block_of(original, block, block_size);
    const auto after = block_of(relabelled, block, block_size);
    const uint16_t tag = builder::get_u16(before, 0);
    const bool verified = tag_holds(before);
    const bool same_tag = builder::get_u16(after, 0) == tag && tag_location(after) == tag_location(before) &&
                          tag_holds(after);
    if (is_label_descriptor(tag) && verified && (tag == 256 || tag_location(before) == block)) {
      if (!same_tag) return describe("descriptor left unverified at block", number);
      wrote_file_set = wrote_file_set || tag == 256;
      continue;
    }
    // A damaged copy mended from its twin: a label-carrying descriptor now,
    // verified at its own block (a File Set Descriptor at its logical one).
    const uint16_t new_tag = builder::get_u16(after, 0);
    const bool verified_here = verified && (tag == 256 || tag_location(before) == block);
    if (is_label_descriptor(tag) && !verified_here && is_label_descriptor(new_tag) && tag_holds(after) &&
        (new_tag == 256 || tag_location(after) == block)) {
      wrote_file_set = wrote_file_set || new_tag == 256;
      continue;
    }
    if (!may_hold_vat(original, block_size)) {
      return describe("write to block", number) + " whose tag identifier was " + std::to_string(tag);
    }
    if (is_file_entry(tag) && verified && !same_tag) return describe("VAT entry left unverified at block", number);
    if (!changes_fit_one_identifier(before, after)) return describe("VAT block changed beyond its identifier", number);
  }
  if (summary->relabel_status == 0 && !wrote_file_set) return "relabel exit status 0 without a File Set Descriptor written";
  return {};
}

}  // namespace

std::string check_fuzz_input(std::span<const uint8_t> data, FuzzRunSummary* summary) {
  const FuzzCase original = parse_fuzz_input(data);
  FuzzRunSummary ignored;
  if (summary == nullptr) summary = &ignored;
  // The label argument as the tool sees it: up to its first zero byte.
  std::array<char16_t, 8> scratch{};
  const bool label_valid = utf8_to_utf16(original.label.c_str(), scratch);

  MemoryImage queried = original.image;
  const int query_status = run_over(&queried, {"-v", "image.iso"});
  summary->query_status = query_status;
  if (query_status != 0 && query_status != 1) return describe("query exit status", query_status);
  if (queried.opened_writable) return "query opened the image for writing";
  if (!queried.writes.empty() || queried.writes_while_read_only != 0) return "query wrote to the image";

  // Every change runs with a label, a UUID and identifier options of each
  // form: a Volume Set Identifier part, an LV Info field, an entity
  // identifier and the Soft Write-Protect flag.
  const auto change_arguments = [&](std::vector<std::string> options) {
    options.insert(options.end(), {"--vsid", "Set", "--owner", "Owner", "--appid", "*Fuzz", "--write-protect", "on",
                                   "image.iso", original.label});
    return options;
  };
  MemoryImage dry = original.image;
  const int dry_status = run_over(&dry, change_arguments({"-n", "-u", "0123456789abcdef"}));
  summary->dry_run_status = dry_status;
  if (dry.opened_writable) return "dry run opened the image for writing";
  if (!dry.writes.empty() || dry.writes_while_read_only != 0) return "dry run wrote to the image";

  // All or nothing without --force; with it, every copy that verifies.
  MemoryImage unforced = original.image;
  const int unforced_status = run_over(&unforced, change_arguments({"-u", "0123456789abcdef"}));
  if (unforced_status == 1 && !unforced.writes.empty()) return "a relabel that failed wrote without --force";
  if (unforced_status != dry_status && label_valid) return describe("dry run exit status differs from the relabel's", dry_status);
  MemoryImage relabelled = original.image;
  const int status = run_over(&relabelled, change_arguments({"-fvu", "0123456789abcdef"}));
  summary->relabel_status = status;
  summary->relabel_writes = relabelled.writes.size();
  if (!label_valid) {
    if (status != 1 || dry_status != 1) return describe("refused label, exit status", status);
    if (relabelled.opens != 0 || dry.opens != 0) return "refused label, yet the image was opened";
    return {};
  }
  if (status != 0 && status != 1) return describe("relabel exit status", status);
  // Writes cannot fail here, so a forced relabel fails just when the plain one does.
  if (unforced_status != status) return describe("forced relabel exit status differs from the plain one's", status);
  if (query_status == 1 && (status != 1 || !relabelled.writes.empty())) return "relabel of a volume the query did not find";
  if (relabelled.writes_while_read_only != 0) return "relabel wrote through a read-only stream";
  if (relabelled.size != original.image.size) {
    return describe("relabel changed the image size to", static_cast<int64_t>(relabelled.size));
  }
  return check_writes(original.image, relabelled, summary);
}
