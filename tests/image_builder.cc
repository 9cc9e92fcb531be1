#include "image_builder.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

namespace builder {

namespace {

constexpr uint16_t kPvd = 1, kAvdp = 2, kIuvd = 4, kPd = 5, kLvd = 6, kUsd = 7, kTd = 8;
constexpr uint16_t kFsd = 256, kFe = 261, kEfe = 266;

}  // namespace

Image blank_image(uint32_t sectors) {
  return Image{std::vector<uint8_t>(size_t{sectors} * kSector, 0)};
}

uint32_t sector_count(const Image& image) {
  return static_cast<uint32_t>(image.bytes.size() / kSector);
}

std::span<uint8_t> sector(Image* image, uint32_t n) {
  const size_t end = (size_t{n} + 1) * kSector;
  if (image->bytes.size() < end) image->bytes.resize(end, 0);
  return std::span<uint8_t>(image->bytes).subspan(size_t{n} * kSector, kSector);
}

std::span<const uint8_t> sector(const Image& image, uint32_t n) {
  return std::span<const uint8_t>(image.bytes).subspan(size_t{n} * kSector, kSector);
}

void put_u8(std::span<uint8_t> s, size_t offset, uint8_t value) { s[offset] = value; }

void put_u16(std::span<uint8_t> s, size_t offset, uint16_t value) {
  s[offset] = static_cast<uint8_t>(value);
  s[offset + 1] = static_cast<uint8_t>(value >> 8);
}

void put_u32(std::span<uint8_t> s, size_t offset, uint32_t value) {
  for (size_t i = 0; i < 4; ++i) s[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

void put_bytes(std::span<uint8_t> s, size_t offset, std::string_view bytes) {
  std::memcpy(s.data() + offset, bytes.data(), bytes.size());
}

uint16_t get_u16(std::span<const uint8_t> s, size_t offset) {
  return static_cast<uint16_t>(s[offset] | (s[offset + 1] << 8));
}

uint32_t get_u32(std::span<const uint8_t> s, size_t offset) {
  return uint32_t{s[offset]} | (uint32_t{s[offset + 1]} << 8) | (uint32_t{s[offset + 2]} << 16) |
         (uint32_t{s[offset + 3]} << 24);
}

std::string dstring8(std::string_view text, size_t size) {
  std::string d(size, '\0');
  if (text.empty()) return d;
  const size_t n = std::min(text.size(), size - 2);
  d[0] = 8;
  std::copy_n(text.begin(), n, d.begin() + 1);
  d[size - 1] = static_cast<char>(n + 1);
  return d;
}

std::string dstring16(std::u16string_view text, size_t size) {
  std::string d(size, '\0');
  if (text.empty()) return d;
  const size_t n = std::min(text.size(), (size - 2) / 2);
  d[0] = 16;
  for (size_t k = 0; k < n; ++k) {
    d[1 + 2 * k] = static_cast<char>(text[k] >> 8);
    d[2 + 2 * k] = static_cast<char>(text[k] & 0xFF);
  }
  d[size - 1] = static_cast<char>(2 * n + 1);
  return d;
}

std::string cs0_charspec() {
  std::string c(64, '\0');
  c.replace(1, 23, "OSTA Compressed Unicode");
  return c;
}

uint16_t crc16(std::span<const uint8_t> bytes) {
  uint32_t crc = 0;
  for (uint8_t byte : bytes) {
    crc ^= uint32_t{byte} << 8;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x8000) ? ((crc << 1) ^ 0x1021) : (crc << 1);
    crc &= 0xFFFF;
  }
  return static_cast<uint16_t>(crc);
}

bool tag_is_valid(std::span<const uint8_t> d) {
  uint32_t sum = 0;
  for (size_t i = 0; i < 16; ++i) {
    if (i != 4) sum += d[i];
  }
  if (static_cast<uint8_t>(sum) != d[4]) return false;
  const uint16_t length = get_u16(d, 10);
  if (size_t{length} + 16 > d.size()) return false;
  return crc16(d.subspan(16, length)) == get_u16(d, 8);
}

void finish_tag(std::span<uint8_t> s, uint16_t identifier, uint32_t location, uint16_t crc_length) {
  put_u16(s, 0, identifier);
  put_u16(s, 2, 3);
  put_u16(s, 6, 1);
  put_u32(s, 12, location);
  put_u16(s, 10, crc_length);
  put_u16(s, 8, crc16(s.subspan(16, crc_length)));
  uint32_t sum = 0;
  for (size_t i = 0; i < 16; ++i) {
    if (i != 4) sum += s[i];
  }
  s[4] = static_cast<uint8_t>(sum);
}

void write_vrs(Image* image, std::initializer_list<std::string_view> identifiers) {
  uint32_t n = 16;
  for (std::string_view identifier : identifiers) {
    auto s = sector(image, n++);
    put_u8(s, 0, 0);
    put_bytes(s, 1, identifier);
    put_u8(s, 6, 1);
  }
}

void write_anchor(Image* image, uint32_t main_location, uint32_t main_sectors,
                  uint32_t reserve_location, uint32_t reserve_sectors) {
  auto s = sector(image, 256);
  put_u32(s, 16, main_sectors * kSector);
  put_u32(s, 20, main_location);
  put_u32(s, 24, reserve_sectors * kSector);
  put_u32(s, 28, reserve_location);
  finish_tag(s, kAvdp, 256, 496);
}

void write_pvd(Image* image, uint32_t n, std::string_view volume_identifier) {
  auto s = sector(image, n);
  put_u32(s, 16, 1);  // Volume Descriptor Sequence Number
  put_bytes(s, 24, dstring8(volume_identifier, 32));
  put_u16(s, 56, 1);  // Volume Sequence Number
  put_u16(s, 58, 1);  // Maximum Volume Sequence Number
  put_u16(s, 60, 2);  // Interchange Level
  put_bytes(s, 72, dstring8("Builder Volume Set", 128));
  put_bytes(s, 200, cs0_charspec());
  put_bytes(s, 264, cs0_charspec());
  finish_tag(s, kPvd, n, 496);
}

void write_iuvd(Image* image, uint32_t n, std::string_view lv_identifier,
                std::string_view implementation) {
  auto s = sector(image, n);
  put_u32(s, 16, 2);
  put_bytes(s, 21, implementation);
  put_bytes(s, 52, cs0_charspec());
  put_bytes(s, 116, dstring8(lv_identifier, 128));
  put_bytes(s, 244, dstring8("LVInfo1", 36));
  put_bytes(s, 280, dstring8("LVInfo2", 36));
  put_bytes(s, 316, dstring8("LVInfo3", 36));
  finish_tag(s, kIuvd, n, 496);
}

void write_pd(Image* image, uint32_t n, uint16_t number, uint32_t start, uint32_t length) {
  auto s = sector(image, n);
  put_u32(s, 16, 3);
  put_u16(s, 20, 1);  // Partition Flags: allocated
  put_u16(s, 22, number);
  put_bytes(s, 25, "+NSR03");
  put_u32(s, 184, 1);  // Access Type: read-only
  put_u32(s, 188, start);
  put_u32(s, 192, length);
  finish_tag(s, kPd, n, 496);
}

void write_usd(Image* image, uint32_t n) {
  auto s = sector(image, n);
  put_u32(s, 16, 4);
  finish_tag(s, kUsd, n, 8);
}

void write_td(Image* image, uint32_t n) {
  finish_tag(sector(image, n), kTd, n, 496);
}

std::string type1_map(uint16_t number) {
  std::string m(6, '\0');
  m[0] = 1;
  m[1] = 6;
  m[2] = 1;  // Volume Sequence Number
  m[4] = static_cast<char>(number & 0xFF);
  m[5] = static_cast<char>(number >> 8);
  return m;
}

std::string type2_map(std::string_view identifier, uint16_t number) {
  std::string m(64, '\0');
  m[0] = 2;
  m[1] = 64;
  m.replace(5, identifier.size(), identifier);
  m[36] = 1;  // Volume Sequence Number
  m[38] = static_cast<char>(number & 0xFF);
  m[39] = static_cast<char>(number >> 8);
  return m;
}

std::string metadata_map(uint16_t number, uint32_t file_location, uint32_t mirror_location) {
  std::string m = type2_map("*UDF Metadata Partition", number);
  for (size_t i = 0; i < 4; ++i) {
    m[40 + i] = static_cast<char>(file_location >> (8 * i));
    m[44 + i] = static_cast<char>(mirror_location >> (8 * i));
    m[48 + i] = static_cast<char>(0xFFFFFFFFu >> (8 * i));  // no bitmap file
  }
  m[52] = 32;  // Allocation Unit Size
  m[56] = 1;   // Alignment Unit Size
  return m;
}

void write_lvd(Image* image, uint32_t n, std::string_view lv_identifier, FsdAddress fsd,
               const std::vector<std::string>& maps, int64_t declared_maps) {
  auto s = sector(image, n);
  put_u32(s, 16, 5);
  put_bytes(s, 20, cs0_charspec());
  put_bytes(s, 84, dstring8(lv_identifier, 128));
  put_u32(s, 212, kSector);  // Logical Block Size
  put_bytes(s, 217, "*OSTA UDF Compliant");
  put_u32(s, 248, fsd.length);
  put_u32(s, 252, fsd.block);
  put_u16(s, 256, fsd.partition);
  size_t table_length = 0;
  for (const std::string& map : maps) {
    const size_t room = kSector - 440 - table_length;
    put_bytes(s, 440 + table_length, std::string_view(map).substr(0, room));
    table_length += std::min(map.size(), room);
  }
  put_u32(s, 264, static_cast<uint32_t>(table_length));
  put_u32(s, 268, declared_maps >= 0 ? static_cast<uint32_t>(declared_maps)
                                     : static_cast<uint32_t>(maps.size()));
  const size_t crc_length = std::min<size_t>(440 + table_length - 16, kSector - 16);
  finish_tag(s, kLvd, n, static_cast<uint16_t>(crc_length));
}

void write_fsd(Image* image, uint32_t n, std::string_view lv_identifier,
               std::string_view fs_identifier) {
  auto s = sector(image, n);
  put_u16(s, 16 + 12, 0);  // Recording Date and Time left zero
  put_u16(s, 28, 3);       // Interchange Level
  put_u16(s, 30, 3);
  put_u32(s, 32, 1);
  put_u32(s, 36, 1);
  put_bytes(s, 48, cs0_charspec());
  put_bytes(s, 112, dstring8(lv_identifier, 128));
  put_bytes(s, 240, cs0_charspec());
  put_bytes(s, 304, dstring8(fs_identifier, 32));
  put_bytes(s, 336, dstring8("Copyright", 32));
  put_bytes(s, 368, dstring8("Abstract", 32));
  put_u32(s, 400, kSector);  // Root Directory ICB
  put_u32(s, 404, 1);
  put_bytes(s, 417, "*OSTA UDF Compliant");
  finish_tag(s, kFsd, n, 496);
}

void write_file_entry(Image* image, uint32_t n, const FileEntrySpec& spec) {
  auto s = sector(image, n);
  const size_t ea_offset = spec.extended ? 216 : 176;
  put_u16(s, 16 + 4, 4);    // ICB Tag: Strategy Type 4
  put_u16(s, 16 + 8, 1);    // Maximum Number of Entries
  put_u8(s, 16 + 11, 250);  // File Type: metadata file
  put_u16(s, 34, spec.ad_type);
  std::string ads;
  auto add32 = [&](uint32_t v) {
    for (size_t i = 0; i < 4; ++i) ads.push_back(static_cast<char>(v >> (8 * i)));
  };
  for (const Extent& e : spec.extents) {
    if (spec.ad_type == 0) {
      add32(e.length), add32(e.location);
    } else if (spec.ad_type == 1) {
      add32(e.length), add32(e.location), ads.append(8, '\0');
    } else if (spec.ad_type == 2) {
      add32(e.length), add32(e.length), add32(0), add32(e.location), ads.append(4, '\0');
    }
  }
  if (spec.ad_type == 3) ads.assign(spec.embedded_length, 'x');
  const size_t length_of_ea = spec.extended ? 208 : 168;
  put_u32(s, length_of_ea, spec.ea_length);
  put_u32(s, length_of_ea + 4, static_cast<uint32_t>(ads.size()));
  const size_t ad_offset = ea_offset + spec.ea_length;
  const size_t room = ad_offset < kSector ? kSector - ad_offset : 0;
  put_bytes(s, std::min<size_t>(ad_offset, kSector), std::string_view(ads).substr(0, room));
  const size_t end = std::min<size_t>(ad_offset + ads.size(), kSector);
  finish_tag(s, spec.extended ? kEfe : kFe, n, static_cast<uint16_t>(end - 16));
}

namespace {

void write_sequence(Image* image, uint32_t first, std::string_view label, uint32_t partition_start,
                    uint32_t partition_length, FsdAddress fsd, const std::vector<std::string>& maps) {
  write_pvd(image, first, label);
  write_iuvd(image, first + 1, label);
  write_pd(image, first + 2, 0, partition_start, partition_length);
  write_lvd(image, first + 3, label, fsd, maps);
  write_usd(image, first + 4);
  write_td(image, first + 5);
}

}  // namespace

Layout plain_layout(std::string_view label) {
  Layout layout{blank_image(400), {}};
  Image* image = &layout.image;
  write_vrs(image, {"BEA01", "NSR03", "TEA01"});
  const FsdAddress fsd{kSector, 0, 0};
  write_sequence(image, 32, label, 300, 100, fsd, {type1_map(0)});
  write_sequence(image, 48, label, 300, 100, fsd, {type1_map(0)});
  write_anchor(image, 32, 16, 48, 16);
  write_fsd(image, 300, label, label);
  layout.label_sectors = {32, 33, 35, 48, 49, 51, 300};
  return layout;
}

Layout metadata_layout(std::string_view label, bool mirror_same_place) {
  Layout layout{blank_image(520), {}};
  Image* image = &layout.image;
  write_vrs(image, {"BEA01", "NSR03", "TEA01"});
  const uint32_t start = 300;
  const uint32_t mirror_location = mirror_same_place ? 1 : 100;
  const FsdAddress fsd{kSector, 0, 1};
  const std::vector<std::string> maps = {type1_map(0), metadata_map(0, 0, mirror_location)};
  write_sequence(image, 32, label, start, 220, fsd, maps);
  write_sequence(image, 48, label, start, 220, fsd, maps);
  write_anchor(image, 32, 16, 48, 16);
  write_file_entry(image, start + 0, FileEntrySpec{false, 0, 0, {{2, 5 * kSector}}, 0});
  if (mirror_same_place) {
    write_file_entry(image, start + 1, FileEntrySpec{false, 0, 0, {{2, 5 * kSector}}, 0});
    write_fsd(image, start + 2, label, label);
    layout.label_sectors = {32, 33, 35, 48, 49, 51, start + 2};
  } else {
    write_file_entry(image, start + 100, FileEntrySpec{false, 0, 0, {{110, 5 * kSector}}, 0});
    write_fsd(image, start + 2, label, label);
    write_fsd(image, start + 110, label, label);
    layout.label_sectors = {32, 33, 35, 48, 49, 51, start + 2, start + 110};
  }
  return layout;
}

bool write_file(const std::string& path, const Image& image) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(image.bytes.data()),
            static_cast<std::streamsize>(image.bytes.size()));
  return static_cast<bool>(out);
}

Image read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  Image image;
  image.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return image;
}

std::vector<uint32_t> changed_sectors(const Image& before, const Image& after) {
  std::vector<uint32_t> changed;
  const size_t sectors = std::max(before.bytes.size(), after.bytes.size()) / kSector;
  for (uint32_t n = 0; n < sectors; ++n) {
    const size_t offset = size_t{n} * kSector;
    const bool in_both = offset + kSector <= before.bytes.size() && offset + kSector <= after.bytes.size();
    if (!in_both || std::memcmp(before.bytes.data() + offset, after.bytes.data() + offset, kSector) != 0) {
      changed.push_back(n);
    }
  }
  return changed;
}

}  // namespace builder
