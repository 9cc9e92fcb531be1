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

Image blank_image(uint32_t sectors, uint32_t block) {
  return Image{std::vector<uint8_t>(size_t{sectors} * block, 0), block};
}

uint32_t sector_count(const Image& image) {
  return static_cast<uint32_t>(image.bytes.size() / image.block);
}

std::span<uint8_t> blocks(Image* image, uint32_t n, uint32_t count) {
  const size_t end = (size_t{n} + count) * image->block;
  if (image->bytes.size() < end) image->bytes.resize(end, 0);
  return std::span<uint8_t>(image->bytes).subspan(size_t{n} * image->block, size_t{count} * image->block);
}

std::span<const uint8_t> blocks(const Image& image, uint32_t n, uint32_t count) {
  return std::span<const uint8_t>(image.bytes).subspan(size_t{n} * image.block, size_t{count} * image.block);
}

std::span<uint8_t> sector(Image* image, uint32_t n) { return blocks(image, n, 1); }

std::span<const uint8_t> sector(const Image& image, uint32_t n) { return blocks(image, n, 1); }

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

void write_vrs(Image* image, std::initializer_list<std::string_view> identifiers, uint32_t stride) {
  if (stride == 0) stride = std::max(image->block, kSector);
  size_t offset = 32768;
  for (std::string_view identifier : identifiers) {
    // The blocks that hold this descriptor's 2048 bytes.
    const auto first = static_cast<uint32_t>(offset / image->block);
    const auto count = static_cast<uint32_t>((offset % image->block + kSector + image->block - 1) / image->block);
    auto s = blocks(image, first, count).subspan(offset % image->block, kSector);
    offset += stride;
    put_u8(s, 0, 0);
    put_bytes(s, 1, identifier);
    put_u8(s, 6, 1);
  }
}

void write_anchor(Image* image, uint32_t main_location, uint32_t main_sectors,
                  uint32_t reserve_location, uint32_t reserve_sectors, uint32_t at) {
  auto s = sector(image, at);
  put_u32(s, 16, main_sectors * image->block);
  put_u32(s, 20, main_location);
  put_u32(s, 24, reserve_sectors * image->block);
  put_u32(s, 28, reserve_location);
  finish_tag(s, kAvdp, at, 496);
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

namespace {

std::span<uint8_t> writable(std::string* bytes) {
  return {reinterpret_cast<uint8_t*>(bytes->data()), bytes->size()};
}

}  // namespace

std::string sparable_map(uint16_t number, uint16_t packet_length, uint32_t table_size,
                         const std::vector<uint32_t>& table_locations) {
  std::string m = type2_map("*UDF Sparable Partition", number);
  m.resize(std::max<size_t>(64, 48 + 4 * table_locations.size()), '\0');
  m[1] = static_cast<char>(m.size());
  auto bytes = writable(&m);
  put_u16(bytes, 40, packet_length);
  put_u8(bytes, 42, static_cast<uint8_t>(table_locations.size()));
  put_u32(bytes, 44, table_size);
  for (size_t i = 0; i < table_locations.size(); ++i) put_u32(bytes, 48 + 4 * i, table_locations[i]);
  return m;
}

std::string virtual_map(uint16_t number) { return type2_map("*UDF Virtual Partition", number); }

uint32_t write_sparing_table(Image* image, uint32_t n, const std::vector<SparingEntry>& entries) {
  const auto size = static_cast<uint32_t>(56 + 8 * entries.size());
  auto s = blocks(image, n, (size + image->block - 1) / image->block);
  put_bytes(s, 17, "*UDF Sparing Table");
  put_u16(s, 48, static_cast<uint16_t>(entries.size()));  // Reallocation Table Length
  put_u32(s, 52, 1);                                      // Sequence Number
  for (size_t i = 0; i < entries.size(); ++i) {
    put_u32(s, 56 + 8 * i, entries[i].original);
    put_u32(s, 60 + 8 * i, entries[i].mapped);
  }
  finish_tag(s, 0, n, static_cast<uint16_t>(size - 16));
  return size;
}

std::string vat200_data(std::string_view lv_identifier, const std::vector<uint32_t>& entries) {
  std::string d(kVatHeaderLength + 4 * entries.size(), '\0');
  auto bytes = writable(&d);
  put_u16(bytes, 0, kVatHeaderLength);  // L_HD
  put_bytes(bytes, kVatIdentifierOffset, dstring8(lv_identifier, 128));
  put_u32(bytes, 132, 0xFFFFFFFF);  // Previous VAT ICB Location: none
  put_u32(bytes, 140, 1);           // Number of Directories
  for (size_t i = 144; i < 150; i += 2) put_u16(bytes, i, 0x0200);  // UDF revisions
  for (size_t i = 0; i < entries.size(); ++i) put_u32(bytes, kVatHeaderLength + 4 * i, entries[i]);
  return d;
}

std::string vat150_data(const std::vector<uint32_t>& entries) {
  std::string d(4 * entries.size() + 36, '\0');
  auto bytes = writable(&d);
  for (size_t i = 0; i < entries.size(); ++i) put_u32(bytes, 4 * i, entries[i]);
  const size_t regid = 4 * entries.size();
  put_bytes(bytes, regid + 1, "*UDF Virtual Alloc Tbl");
  put_u16(bytes, regid + 24, 0x0150);
  put_u32(bytes, regid + 32, 0xFFFFFFFF);  // Previous VAT ICB Location: none
  return d;
}

std::string vat_lv_extension(std::string_view lv_identifier, uint32_t tag_location) {
  constexpr size_t kHeader = 24, kAttribute = 196, kImplementationUse = 146;
  std::string e(kHeader + kAttribute, '\0');
  auto bytes = writable(&e);
  // Extended Attribute Header Descriptor (4/14.10.1).
  put_u32(bytes, 16, kHeader);               // Implementation Attributes Location
  put_u32(bytes, 20, kHeader + kAttribute);  // Application Attributes Location
  finish_tag(bytes.first(kHeader), 262, tag_location, 8);
  // Implementation Use Extended Attribute (4/14.10.8), UDF 3.3.4.5.1.
  auto a = bytes.subspan(kHeader);
  put_u32(a, 0, 2048);
  put_u8(a, 4, 1);
  put_u32(a, 8, kAttribute);
  put_u32(a, 12, kImplementationUse);
  put_bytes(a, 17, "*UDF VAT LVExtension");
  put_u16(a, 40, 0x0150);
  uint32_t sum = 0;
  for (size_t i = 0; i < 48; ++i) sum += a[i];
  put_u16(a, 48, static_cast<uint16_t>(sum));  // Header Checksum; the Unique ID, 0, is the entry's
  put_u32(a, 62, 1);                           // Number of Directories
  put_bytes(a, 66, dstring8(lv_identifier, 128));
  return e;
}

void write_lvd(Image* image, uint32_t n, std::string_view lv_identifier, FsdAddress fsd,
               const std::vector<std::string>& maps, int64_t declared_maps) {
  auto s = sector(image, n);
  put_u32(s, 16, 5);
  put_bytes(s, 20, cs0_charspec());
  put_bytes(s, 84, dstring8(lv_identifier, 128));
  put_u32(s, 212, image->block);  // Logical Block Size
  put_bytes(s, 217, "*OSTA UDF Compliant");
  put_u32(s, 248, fsd.length);
  put_u32(s, 252, fsd.block);
  put_u16(s, 256, fsd.partition);
  size_t table_length = 0;
  for (const std::string& map : maps) {
    const size_t room = image->block - 440 - table_length;
    put_bytes(s, 440 + table_length, std::string_view(map).substr(0, room));
    table_length += std::min(map.size(), room);
  }
  put_u32(s, 264, static_cast<uint32_t>(table_length));
  put_u32(s, 268, declared_maps >= 0 ? static_cast<uint32_t>(declared_maps)
                                     : static_cast<uint32_t>(maps.size()));
  const size_t crc_length = std::min<size_t>(440 + table_length - 16, image->block - 16);
  finish_tag(s, kLvd, n, static_cast<uint16_t>(crc_length));
}

void write_fsd(Image* image, uint32_t n, std::string_view lv_identifier,
               std::string_view fs_identifier, std::optional<uint32_t> location) {
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
  put_u32(s, 400, image->block);  // Root Directory ICB
  put_u32(s, 404, 1);
  put_bytes(s, 417, "*OSTA UDF Compliant");
  finish_tag(s, kFsd, location.value_or(n), 496);
}

void write_file_entry(Image* image, uint32_t n, const FileEntryFields& fields) {
  auto s = sector(image, n);
  const size_t ea_offset = fields.extended ? 216 : 176;
  put_u16(s, 16 + 4, 4);    // ICB Tag: Strategy Type 4
  put_u16(s, 16 + 8, 1);    // Maximum Number of Entries
  put_u8(s, 16 + 11, fields.file_type);
  put_u16(s, 34, fields.ad_type);
  put_u32(s, 56, static_cast<uint32_t>(fields.information_length));
  put_u32(s, 60, static_cast<uint32_t>(fields.information_length >> 32));
  put_bytes(s, ea_offset, fields.extended_attributes);
  std::string ads;
  auto add32 = [&](uint32_t v) {
    for (size_t i = 0; i < 4; ++i) ads.push_back(static_cast<char>(v >> (8 * i)));
  };
  for (const Extent& e : fields.extents) {
    if (fields.ad_type == 0) {
      add32(e.length), add32(e.location);
    } else if (fields.ad_type == 1) {
      add32(e.length), add32(e.location), ads.append(8, '\0');
    } else if (fields.ad_type == 2) {
      add32(e.length), add32(e.length), add32(0), add32(e.location), ads.append(4, '\0');
    }
  }
  if (fields.ad_type == 3) {
    ads = fields.embedded.empty() ? std::string(fields.embedded_length, 'x') : fields.embedded;
  }
  const size_t length_of_ea = fields.extended ? 208 : 168;
  put_u32(s, length_of_ea, fields.ea_length);
  put_u32(s, length_of_ea + 4, static_cast<uint32_t>(ads.size()));
  const size_t ad_offset = ea_offset + fields.ea_length;
  const size_t room = ad_offset < s.size() ? s.size() - ad_offset : 0;
  put_bytes(s, std::min<size_t>(ad_offset, s.size()), std::string_view(ads).substr(0, room));
  const size_t end = std::min<size_t>(ad_offset + ads.size(), s.size());
  finish_tag(s, fields.extended ? kEfe : kFe, fields.location.value_or(n), static_cast<uint16_t>(end - 16));
}

namespace {

void write_sequence(Image* image, uint32_t first, std::string_view label, uint32_t partition_start,
                    uint32_t partition_length, FsdAddress fsd, const std::vector<std::string>& maps,
                    uint16_t partition_number = 0) {
  write_pvd(image, first, label);
  write_iuvd(image, first + 1, label);
  write_pd(image, first + 2, partition_number, partition_start, partition_length);
  write_lvd(image, first + 3, label, fsd, maps);
  write_usd(image, first + 4);
  write_td(image, first + 5);
}

}  // namespace

std::vector<uint32_t> write_sequences(Image* image, const Sequences& q) {
  for (uint32_t first : {q.main, q.reserve}) {
    write_sequence(image, first, q.label, q.partition_start, q.partition_length, q.fsd, q.maps,
                   q.partition_number);
  }
  write_anchor(image, q.main, 16, q.reserve, 16);
  return sorted_sectors({{q.main, q.main + 1, q.main + 3}, {q.reserve, q.reserve + 1, q.reserve + 3}});
}

Layout plain_layout(std::string_view label, uint32_t block) {
  Layout layout{blank_image(400, block), {}};
  Image* image = &layout.image;
  write_vrs(image, {"BEA01", "NSR03", "TEA01"});
  const uint32_t main = block < kSector ? 80 : 32;
  layout.label_sectors = write_sequences(
      image, {.label = label, .main = main, .reserve = main + 16, .fsd = {block, 0, 0}});
  write_fsd(image, 300, label, label, 0);
  layout.label_sectors.push_back(300);
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
  write_file_entry(image, start + 0, {.extents = {{2, 5 * kSector}}, .location = 0});
  if (mirror_same_place) {
    write_file_entry(image, start + 1, {.extents = {{2, 5 * kSector}}, .location = 1});
    write_fsd(image, start + 2, label, label, 0);
    layout.label_sectors = {32, 33, 35, 48, 49, 51, start + 2};
  } else {
    write_file_entry(image, start + 100, {.extents = {{110, 5 * kSector}}, .location = 100});
    write_fsd(image, start + 2, label, label, 0);
    write_fsd(image, start + 110, label, label, 0);
    layout.label_sectors = {32, 33, 35, 48, 49, 51, start + 2, start + 110};
  }
  return layout;
}

namespace {

constexpr uint16_t kFid = 257, kLvid = 9;
constexpr uint16_t kUdf250 = 0x0250;

// Recomputes the tag of a descriptor whose fields were changed after it was
// written, keeping its identifier and CRC length, at tag location `location`.
void refinish_tag(std::span<uint8_t> s, uint32_t location) {
  finish_tag(s, get_u16(s, 0), location, get_u16(s, 10));
}

// A timestamp (1/7.3): local time at UTC, 2025-12-13 12:00:00.
void put_timestamp(std::span<uint8_t> s, size_t offset) {
  put_u16(s, offset, 0x1000);
  put_u16(s, offset + 2, 2025);
  put_u8(s, offset + 4, 12);
  put_u8(s, offset + 5, 13);
  put_u8(s, offset + 6, 12);
}

// A regid (1/7.4) with `identifier` and an 8-byte suffix that begins with the
// UDF revision (Domain and UDF Identifier Suffixes, UDF 2.1.5).
void put_regid(std::span<uint8_t> s, size_t offset, std::string_view identifier, uint16_t revision) {
  put_bytes(s, offset + 1, identifier);
  if (revision != 0) put_u16(s, offset + 24, revision);
}

// The fields other readers expect of the PVD, IUVD and LVD that
// write_sequence put at `first`: interchange level and character set list,
// recording time, UDF revision, domain (with `domain_flags`) and the
// integrity sequence at sector 64.
void complete_sequence(Image* image, uint32_t first, uint16_t revision, uint8_t domain_flags) {
  auto pvd = sector(image, first);
  put_u16(pvd, 62, 3);  // Maximum Interchange Level
  put_u32(pvd, 64, 1);  // Character Set List: CS0
  put_u32(pvd, 68, 1);
  put_timestamp(pvd, 376);
  refinish_tag(pvd, first);
  auto iuvd = sector(image, first + 1);
  put_u16(iuvd, 20 + 24, revision);
  refinish_tag(iuvd, first + 1);
  auto lvd = sector(image, first + 3);
  put_regid(lvd, 216, "*OSTA UDF Compliant", revision);
  put_u8(lvd, 242, domain_flags);
  put_u32(lvd, 432, 2 * kSector);  // Integrity Sequence Extent
  put_u32(lvd, 436, 64);
  refinish_tag(lvd, first + 3);
}

// A closed Logical Volume Integrity Descriptor (3/10.10) at sector 64 with
// its UDF implementation use (UDF 2.2.6.4), one file and one directory, and
// a Terminating Descriptor at 65. `partitions` gives each partition's free
// blocks and size.
void write_closed_lvid(Image* image, uint32_t next_unique_id,
                       std::initializer_list<std::pair<uint32_t, uint32_t>> partitions, uint16_t revision) {
  auto lvid = sector(image, 64);
  const auto count = static_cast<uint32_t>(partitions.size());
  put_timestamp(lvid, 16);
  put_u32(lvid, 28, 1);               // Integrity Type: close
  put_u32(lvid, 40, next_unique_id);  // Logical Volume Header: next Unique ID
  put_u32(lvid, 72, count);           // Number of Partitions
  put_u32(lvid, 76, 46);              // Length of Implementation Use
  size_t at = 80;
  for (const auto& partition : partitions) {  // Free Space Table
    put_u32(lvid, at, partition.first);
    at += 4;
  }
  for (const auto& partition : partitions) {  // Size Table
    put_u32(lvid, at, partition.second);
    at += 4;
  }
  put_regid(lvid, at, "*Builder", 0);
  put_u32(lvid, at + 32, 1);         // Number of Files
  put_u32(lvid, at + 36, 1);         // Number of Directories
  put_u16(lvid, at + 40, revision);  // Minimum UDF Read Revision
  put_u16(lvid, at + 42, revision);  // Minimum UDF Write Revision
  put_u16(lvid, at + 44, revision);  // Maximum UDF Write Revision
  finish_tag(lvid, kLvid, 64, static_cast<uint16_t>(at + 46 - 16));
  write_td(image, 65);
}

// The anchor at 256 and its copies at N - 256 and N (3/8.4.2.1), N the last
// of `sectors`.
void write_end_anchors(Image* image, uint32_t sectors) {
  write_anchor(image, 32, 16, 48, 16);
  for (uint32_t anchor : {sectors - 257, sectors - 1}) {
    std::copy_n(sector(*image, 256).begin(), kSector, sector(image, anchor).begin());
    refinish_tag(sector(image, anchor), anchor);
  }
}

void put_long_ad(std::span<uint8_t> s, size_t offset, uint32_t length, uint32_t block,
                 uint16_t partition, uint32_t unique_id = 0) {
  put_u32(s, offset, length);
  put_u32(s, offset + 4, block);
  put_u16(s, offset + 8, partition);
  put_u32(s, offset + 12, unique_id);  // UDF Unique ID in the implementation use (UDF 2.3.4.3)
}

// What an Extended File Entry (4/14.17) records.
struct EntryContents {
  uint8_t file_type = 0;   // 4 directory, 5 file, 250/251 metadata (mirror) file
  uint8_t ad_type = 0;     // 0 short_ad, 1 long_ad, 3 data embedded in the entry
  std::string allocation;  // the allocation descriptors or the embedded data
  uint64_t information_length = 0;
  uint64_t blocks_recorded = 0;
  uint64_t unique_id = 0;
  uint16_t permissions = 0;
};

void write_extended_entry(std::span<uint8_t> s, uint32_t location, const EntryContents& e) {
  std::fill(s.begin(), s.end(), uint8_t{0});
  put_u16(s, 20, 4);            // ICB Tag: Strategy Type 4
  put_u16(s, 24, 1);            // Maximum Number of Entries
  put_u8(s, 27, e.file_type);
  put_u16(s, 34, e.ad_type);
  put_u32(s, 36, 0);            // Uid
  put_u32(s, 40, 0);            // Gid
  put_u32(s, 44, e.permissions);
  put_u16(s, 48, 1);            // File Link Count
  put_u32(s, 56, static_cast<uint32_t>(e.information_length));
  put_u32(s, 64, static_cast<uint32_t>(e.information_length));  // Object Size
  put_u32(s, 72, static_cast<uint32_t>(e.blocks_recorded));
  for (size_t time : {size_t{80}, size_t{92}, size_t{104}, size_t{116}}) put_timestamp(s, time);
  put_u32(s, 128, 1);           // Checkpoint
  put_regid(s, 168, "*Builder", 0);
  put_u32(s, 200, static_cast<uint32_t>(e.unique_id));
  put_u32(s, 212, static_cast<uint32_t>(e.allocation.size()));
  put_bytes(s, 216, e.allocation);
  finish_tag(s, kEfe, location, static_cast<uint16_t>(216 + e.allocation.size() - 16));
}

std::string short_ad_bytes(uint32_t length, uint32_t position) {
  std::string ad(8, '\0');
  std::span<uint8_t> bytes(reinterpret_cast<uint8_t*>(ad.data()), ad.size());
  put_u32(bytes, 0, length);
  put_u32(bytes, 4, position);
  return ad;
}

// A File Identifier Descriptor (4/14.4) naming the entry at `icb_block` of
// partition `partition`, padded to a multiple of four bytes; an empty name
// makes the parent directory's entry.
std::string file_identifier(std::string_view name, bool directory, uint32_t icb_block,
                            uint16_t partition, uint32_t unique_id, uint32_t tag_location) {
  const size_t name_length = name.empty() ? 0 : name.size() + 1;
  std::vector<uint8_t> fid((38 + name_length + 3) / 4 * 4, 0);
  std::span<uint8_t> s(fid);
  put_u16(s, 16, 1);  // File Version Number
  put_u8(s, 18, static_cast<uint8_t>((directory ? 2 : 0) | (name.empty() ? 8 : 0)));
  put_u8(s, 19, static_cast<uint8_t>(name_length));
  put_long_ad(s, 20, kSector, icb_block, partition, unique_id);
  if (!name.empty()) {
    put_u8(s, 38, 8);  // Compression ID of the d-characters
    put_bytes(s, 39, name);
  }
  finish_tag(s, kFid, tag_location, static_cast<uint16_t>(fid.size() - 16));
  return std::string(fid.begin(), fid.end());
}

}  // namespace

Layout metadata_files_layout(std::string_view label) {
  constexpr uint32_t kSectors = 1024, kStart = 288, kBlocks = 128;
  constexpr uint32_t kMetadataData = 32, kMirrorData = 64, kMetadataBlocks = 32, kFileData = 96;
  constexpr uint32_t kRootBlock = 2, kFileBlock = 3, kFileUniqueId = 16;
  Layout layout{blank_image(kSectors), {}};
  Image* image = &layout.image;
  write_vrs(image, {"BEA01", "NSR03", "TEA01"});

  const FsdAddress fsd{kSector, 0, 1};
  std::string map = metadata_map(0, 0, 1);
  map[58] = 1;  // Duplicate Metadata Flag: the mirror holds its own copy
  map.replace(28, 2, std::string{"\x50\x02", 2});  // UDF revision of the map's identifier
  const std::vector<std::string> maps = {type1_map(0), map};
  for (uint32_t first : {32u, 48u}) {
    write_sequence(image, first, label, kStart, kBlocks, fsd, maps);
    complete_sequence(image, first, kUdf250, 3);  // hard and soft write-protected
  }

  // Logical Volume Integrity Descriptor, closed, then a Terminating Descriptor.
  write_closed_lvid(image, kFileUniqueId + 1,
                    {{kBlocks - 2 - 2 * kMetadataBlocks - 1, kBlocks}, {0, kMetadataBlocks}}, kUdf250);

  write_end_anchors(image, kSectors);

  // The metadata file and its mirror (UDF 2.2.13), each one extent.
  write_extended_entry(sector(image, kStart + 0), 0,
                       EntryContents{250, 0, short_ad_bytes(kMetadataBlocks * kSector, kMetadataData),
                                     kMetadataBlocks * kSector, kMetadataBlocks, 0, 0});
  write_extended_entry(sector(image, kStart + 1), 1,
                       EntryContents{251, 0, short_ad_bytes(kMetadataBlocks * kSector, kMirrorData),
                                     kMetadataBlocks * kSector, kMetadataBlocks, 0, 0});

  // Metadata block 0: the File Set Descriptor, its root directory at block 2.
  const uint32_t fsd_sector = kStart + kMetadataData;
  write_fsd(image, fsd_sector, label, label);
  auto fsd_bytes = sector(image, fsd_sector);
  put_timestamp(fsd_bytes, 16);
  put_long_ad(fsd_bytes, 400, kSector, kRootBlock, 1);
  put_regid(fsd_bytes, 416, "*OSTA UDF Compliant", kUdf250);
  put_u8(fsd_bytes, 416 + 26, 3);  // Domain Flags
  refinish_tag(fsd_bytes, 0);

  std::string directory = file_identifier("", true, kRootBlock, 1, 0, kRootBlock);
  directory += file_identifier(kSampleFileName, false, kFileBlock, 1, kFileUniqueId, kRootBlock);
  write_extended_entry(sector(image, fsd_sector + kRootBlock), kRootBlock,
                       EntryContents{4, 3, directory, directory.size(), 0, 0, 0x1CA5});

  std::string data_ad(16, '\0');
  std::span<uint8_t> data_ad_bytes(reinterpret_cast<uint8_t*>(data_ad.data()), data_ad.size());
  put_long_ad(data_ad_bytes, 0, static_cast<uint32_t>(kSampleFileContents.size()), kFileData, 0);
  write_extended_entry(sector(image, fsd_sector + kFileBlock), kFileBlock,
                       EntryContents{5, 1, data_ad, kSampleFileContents.size(), 1, kFileUniqueId, 0x1884});
  put_bytes(sector(image, kStart + kFileData), 0, kSampleFileContents);

  // The mirror file's data: the same blocks, as written.
  for (uint32_t b = 0; b < kMetadataBlocks; ++b) {
    std::copy_n(sector(*image, kStart + kMetadataData + b).begin(), kSector,
                sector(image, kStart + kMirrorData + b).begin());
  }
  layout.label_sectors = {32, 33, 35, 48, 49, 51, fsd_sector, kStart + kMirrorData};
  return layout;
}

Layout sparable_layout(std::string_view label, uint32_t block) {
  Layout layout{blank_image(448, block), {}};
  Image* image = &layout.image;
  write_vrs(image, {"BEA01", "NSR03", "TEA01"});
  std::vector<SparingEntry> entries(60, SparingEntry{0xFFFFFFFF, 432});
  entries.push_back({0, 400});
  entries.push_back({0, 416});
  uint32_t size = 0;
  for (uint32_t at : {260u, 270u}) size = write_sparing_table(image, at, entries);
  const uint32_t main = block < kSector ? 80 : 32;
  layout.label_sectors = write_sequences(
      image, {.label = label, .main = main, .reserve = main + 16, .fsd = {block, 3, 0},
              .maps = {sparable_map(0, 32, size, {260, 270})}});
  write_fsd(image, 303, "Unmapped", "Unmapped", 3);
  write_fsd(image, 403, label, label, 3);
  write_fsd(image, 419, "Second Entry", "Second Entry", 3);
  layout.label_sectors.push_back(403);
  return layout;
}

Layout virtual_layout(std::string_view label, VatForm form, uint32_t block) {
  Layout layout{blank_image(400, block), {}};
  Image* image = &layout.image;
  const bool udf150 = form == VatForm::Udf150 || form == VatForm::Udf150Plain;
  write_vrs(image, {"BEA01", udf150 ? "NSR02" : "NSR03", "TEA01"});
  const uint32_t main = block < kSector ? 80 : 32;
  const Sequences q{.label = label, .main = main, .reserve = main + 16, .fsd = {block, 0, 1},
                    .maps = {type1_map(0), virtual_map(0)}};
  layout.label_sectors = write_sequences(image, q);
  if (udf150) {
    // The main sequence of a UDF 1.50 volume: the IUVD after the LVD.
    std::fill(blocks(image, main, 6).begin(), blocks(image, main, 6).end(), uint8_t{0});
    write_pvd(image, main, label);
    write_pd(image, main + 1, 0, q.partition_start, q.partition_length);
    write_lvd(image, main + 2, label, q.fsd, q.maps);
    write_iuvd(image, main + 3, label);
    write_td(image, main + 4);
    layout.label_sectors = sorted_sectors({{main, main + 2, main + 3}, {main + 16, main + 17, main + 19}});
  }
  write_fsd(image, 300, "Unmapped", "Unmapped", 0);
  write_fsd(image, 305, label, label, 0);
  layout.label_sectors.push_back(305);

  const std::vector<uint32_t> entries = {5, 0xFFFFFFFF, 7};
  const std::string data = udf150 ? vat150_data(entries) : vat200_data(label, entries);
  FileEntryFields vat{.ad_type = 3, .file_type = udf150 ? uint8_t{0} : uint8_t{248}, .embedded = data,
                      .information_length = data.size(), .location = 99};
  if (form == VatForm::InBlock200) {
    vat.ad_type = 0;
    vat.embedded.clear();
    vat.extents = {{98, static_cast<uint32_t>(data.size())}};
    put_bytes(sector(image, 398), 0, data);
    layout.label_sectors.push_back(398);
  } else if (form != VatForm::Udf150Plain) {
    layout.label_sectors.push_back(399);
  }
  if (form == VatForm::Udf150) {
    vat.extended_attributes = vat_lv_extension(label, 99);
    vat.ea_length = static_cast<uint32_t>(vat.extended_attributes.size());
  }
  write_file_entry(image, 399, vat);
  return layout;
}

bool write_file(const std::string& path, const Image& image) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(image.bytes.data()),
            static_cast<std::streamsize>(image.bytes.size()));
  return static_cast<bool>(out);
}

// In one read of the file's size: through a stream iterator, byte by byte,
// reading back the images was most of what the whole-run tests cost.
Image read_file(const std::string& path, uint32_t block) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  Image image{{}, block};
  const std::streamoff size = in ? static_cast<std::streamoff>(in.tellg()) : 0;
  if (size <= 0) return image;
  image.bytes.resize(static_cast<size_t>(size));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(image.bytes.data()), size);
  image.bytes.resize(static_cast<size_t>(in.gcount()));
  return image;
}

std::vector<uint32_t> sorted_sectors(std::initializer_list<std::vector<uint32_t>> parts) {
  std::vector<uint32_t> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  std::sort(all.begin(), all.end());
  return all;
}

std::vector<uint32_t> changed_sectors(const Image& before, const Image& after) {
  std::vector<uint32_t> changed;
  const size_t size = std::max(before.bytes.size(), after.bytes.size());
  const size_t block = before.block;
  for (size_t offset = 0; offset < size; offset += block) {
    const size_t end = std::min(offset + block, size);
    const bool in_both = end <= before.bytes.size() && end <= after.bytes.size();
    if (!in_both || std::memcmp(before.bytes.data() + offset, after.bytes.data() + offset, end - offset) != 0) {
      changed.push_back(static_cast<uint32_t>(offset / block));
    }
  }
  return changed;
}

namespace {

constexpr uint16_t kUdf201 = 0x0201;

// A File Entry (4/14.9): what write_extended_entry records, at the offsets
// of the entry UDF 2.01 volumes use.
void write_plain_entry(std::span<uint8_t> s, uint32_t location, const EntryContents& e) {
  std::fill(s.begin(), s.end(), uint8_t{0});
  put_u16(s, 20, 4);  // ICB Tag: Strategy Type 4
  put_u16(s, 24, 1);  // Maximum Number of Entries
  put_u8(s, 27, e.file_type);
  put_u16(s, 34, e.ad_type);
  put_u32(s, 44, e.permissions);
  put_u16(s, 48, 1);  // File Link Count
  put_u32(s, 56, static_cast<uint32_t>(e.information_length));
  put_u32(s, 64, static_cast<uint32_t>(e.blocks_recorded));
  for (size_t time : {size_t{72}, size_t{84}, size_t{96}}) put_timestamp(s, time);
  put_u32(s, 108, 1);  // Checkpoint
  put_regid(s, 128, "*Builder", 0);
  put_u32(s, 160, static_cast<uint32_t>(e.unique_id));
  put_u32(s, 172, static_cast<uint32_t>(e.allocation.size()));
  put_bytes(s, 176, e.allocation);
  finish_tag(s, kFe, location, static_cast<uint16_t>(176 + e.allocation.size() - 16));
}

}  // namespace

Layout sample_layout(std::string_view label) {
  constexpr uint32_t kSectors = 640, kStart = 288, kBlocks = 64;
  constexpr uint32_t kRootBlock = 2, kFileBlock = 3, kFileData = 4, kFileUniqueId = 16;
  Layout layout{blank_image(kSectors), {}};
  Image* image = &layout.image;
  write_vrs(image, {"BEA01", "NSR03", "TEA01"});

  const FsdAddress fsd{kSector, 0, 0};
  for (uint32_t first : {32u, 48u}) {
    write_sequence(image, first, label, kStart, kBlocks, fsd, {type1_map(0)});
    complete_sequence(image, first, kUdf201, 0);
  }

  write_closed_lvid(image, kFileUniqueId + 1, {{kBlocks - kFileData - 1, kBlocks}}, kUdf201);
  write_end_anchors(image, kSectors);

  // Block 0: the File Set Descriptor, its root directory at block 2; block
  // 1 ends the File Set Descriptor Sequence.
  write_fsd(image, kStart, label, label);
  auto fsd_bytes = sector(image, kStart);
  put_timestamp(fsd_bytes, 16);
  put_long_ad(fsd_bytes, 400, kSector, kRootBlock, 0);
  put_regid(fsd_bytes, 416, "*OSTA UDF Compliant", kUdf201);
  refinish_tag(fsd_bytes, 0);
  finish_tag(sector(image, kStart + 1), kTd, 1, 496);

  std::string directory = file_identifier("", true, kRootBlock, 0, 0, kRootBlock);
  directory += file_identifier(kSampleFileName, false, kFileBlock, 0, kFileUniqueId, kRootBlock);
  write_plain_entry(sector(image, kStart + kRootBlock), kRootBlock,
                    EntryContents{4, 3, directory, directory.size(), 0, 0, 0x1CA5});
  const auto contents_length = static_cast<uint32_t>(kSampleVolumeFileContents.size());
  write_plain_entry(sector(image, kStart + kFileBlock), kFileBlock,
                    EntryContents{5, 0, short_ad_bytes(contents_length, kFileData), contents_length,
                                  1, kFileUniqueId, 0x1884});
  put_bytes(sector(image, kStart + kFileData), 0, kSampleVolumeFileContents);

  layout.label_sectors = {32, 33, 35, 48, 49, 51, kStart};
  return layout;
}

}  // namespace builder
