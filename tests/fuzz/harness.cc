#include "harness.h"

#include <algorithm>
#include <array>
#include <cstdio>

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

bool is_label_descriptor(uint16_t tag) { return tag == 1 || tag == 4 || tag == 6 || tag == 256; }

// Runs the tool's whole command line over `image`; returns the exit status
// and leaves the image as the run left it.
int run_over(MemoryImage* image, const std::string* label) {
  served_image() = std::move(*image);
  std::string program = "volquill";
  std::string path = "image.iso";
  std::string argument = label != nullptr ? *label : std::string();
  char* argv[] = {program.data(), path.data(), argument.data(), nullptr};
  const int status = run_command_line(label != nullptr ? 3 : 2, argv);
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

std::string check_fuzz_input(std::span<const uint8_t> data, FuzzRunSummary* summary) {
  const FuzzCase original = parse_fuzz_input(data);
  FuzzRunSummary ignored;
  if (summary == nullptr) summary = &ignored;

  MemoryImage queried = original.image;
  const int query_status = run_over(&queried, nullptr);
  summary->query_status = query_status;
  if (query_status != 0 && query_status != 1) return describe("query exit status", query_status);
  if (queried.opened_writable) return "query opened the image for writing";
  if (!queried.writes.empty() || queried.writes_while_read_only != 0) return "query wrote to the image";

  MemoryImage relabelled = original.image;
  const int status = run_over(&relabelled, &original.label);
  summary->relabel_status = status;
  summary->relabel_writes = relabelled.writes.size();
  // The label argument as the tool sees it: up to its first zero byte.
  std::array<char16_t, 8> scratch{};
  const bool label_valid = utf8_to_utf16(original.label.c_str(), scratch);
  if (!label_valid) {
    if (status != 1) return describe("refused label, exit status", status);
    if (relabelled.opens != 0) return "refused label, yet the image was opened";
    return {};
  }
  // Writes cannot fail here, so the status depends on the reading alone.
  if (status != query_status) return describe("relabel exit status differs from the query's", status);
  if (relabelled.writes_while_read_only != 0) return "relabel wrote through a read-only stream";
  if (relabelled.size != original.image.size) return describe("relabel changed the image size to", static_cast<int64_t>(relabelled.size));

  const uint64_t whole_sectors = original.image.size / kMemorySectorSize;
  for (const MemoryWrite& write : relabelled.writes) {
    if (write.offset % kMemorySectorSize != 0 || write.size != kMemorySectorSize) {
      return describe("write of a part of a sector at offset", static_cast<int64_t>(write.offset));
    }
    const uint64_t sector = write.offset / kMemorySectorSize;
    const auto sector_number = static_cast<int64_t>(sector);
    if (sector >= whole_sectors) return describe("write outside the image at sector", sector_number);
    const auto before = original.image.sectors.find(sector);
    const uint16_t tag = before == original.image.sectors.end() ? 0 : builder::get_u16(before->second, 0);
    if (!is_label_descriptor(tag)) {
      return describe("write to sector", sector_number) + " whose tag identifier was " + std::to_string(tag);
    }
    const auto& after = relabelled.sectors.at(sector);
    if (builder::get_u16(after, 10) > 2032 || !builder::tag_is_valid(after)) {
      return describe("invalid tag left in sector", sector_number);
    }
  }
  return {};
}
