#include "seed_volumes.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace seeds {

namespace {

using builder::Image;

constexpr uint32_t kPartitionStart = 300;
constexpr uint32_t kPartitionLength = 100;
constexpr uint64_t kSmallestVolume = uint64_t{257} * builder::kSector;

// Partition 0 from block 300, both sequences with `maps`, the anchor at 256.
Image two_sequence_volume(std::string_view label, std::string_view nsr, builder::FsdAddress fsd,
                          const std::vector<std::string>& maps) {
  Image image = builder::blank_image(400);
  builder::write_vrs(&image, {"BEA01", nsr, "TEA01"});
  builder::write_anchor(&image, kMainSequence, 16, kReserveSequence, 16);
  for (uint32_t first : {kMainSequence, kReserveSequence}) {
    builder::write_pvd(&image, first, label);
    builder::write_iuvd(&image, first + 1, label);
    builder::write_pd(&image, first + 2, 0, kPartitionStart, kPartitionLength);
    builder::write_lvd(&image, first + 3, label, fsd, maps);
    builder::write_td(&image, first + 4);
  }
  return image;
}

// A File Set Descriptor at absolute `n` whose Tag Location is logical `block`.
void write_file_set(Image* image, uint32_t n, uint32_t block, std::string_view label) {
  builder::write_fsd(image, n, label, label);
  retag(image, n, block);
}

}  // namespace

void retag(Image* image, uint32_t n, uint32_t location) {
  const auto s = builder::sector(image, n);
  builder::finish_tag(s, builder::get_u16(s, 0), location, builder::get_u16(s, 10));
}

Image plain_volume(std::string_view label) {
  Image image = builder::plain_layout(label).image;
  retag(&image, kPartitionStart, 0);
  return image;
}

Image metadata_volume(std::string_view label, bool mirror_same_place) {
  Image image = builder::metadata_layout(label, mirror_same_place).image;
  retag(&image, kPartitionStart, 0);
  retag(&image, kPartitionStart + 2, 0);
  if (mirror_same_place) {
    retag(&image, kPartitionStart + 1, 1);
  } else {
    retag(&image, kPartitionStart + 100, 100);
    retag(&image, kPartitionStart + 110, 0);
  }
  return image;
}

Image with_block_size(const Image& volume, uint32_t block_size) {
  Image source = volume;
  const auto anchor = builder::sector(&source, 256);
  for (size_t extent : {16u, 24u}) {
    builder::put_u32(anchor, extent, builder::get_u32(anchor, extent) / builder::kSector * block_size);
  }
  retag(&source, 256, 256);
  for (uint32_t first : {kMainSequence, kReserveSequence}) {
    builder::put_u32(builder::sector(&source, first + 3), 212, block_size);  // Logical Block Size
    retag(&source, first + 3, first + 3);
  }
  const uint32_t sectors = builder::sector_count(source);
  const uint64_t blocks = std::max<uint64_t>(sectors, (kSmallestVolume + block_size - 1) / block_size);
  Image out{std::vector<uint8_t>(static_cast<size_t>(blocks * block_size), 0)};
  const size_t kept = std::min<size_t>(block_size, builder::kSector);
  const uint32_t stride = std::max(block_size, builder::kSector);
  for (uint32_t n = 0; n < sectors; ++n) {
    if (n >= 16 && n < 32) continue;  // the recognition sequence, placed below
    const auto from = builder::sector(source, n);
    std::copy_n(from.begin(), kept, out.bytes.begin() + static_cast<std::ptrdiff_t>(size_t{n} * block_size));
  }
  for (uint32_t k = 0; k < 16; ++k) {
    const auto from = builder::sector(source, 16 + k);
    std::copy(from.begin(), from.end(), out.bytes.begin() + 32768 + std::ptrdiff_t{k} * stride);
  }
  return out;
}

Image sparable_volume(std::string_view label, bool damaged_first) {
  constexpr uint32_t kMovedTo = 360;
  std::string map = builder::type2_map("*UDF Sparable Partition", 0);
  const auto put_u32 = [&map](size_t at, uint32_t value) {
    for (size_t i = 0; i < 4; ++i) map[at + i] = static_cast<char>(value >> (8 * i));
  };
  map[40] = 32;       // Packet Length
  map[42] = 2;        // Number of Sparing Tables
  put_u32(44, 64);    // Size of Each Sparing Table
  put_u32(48, 280);   // their locations
  put_u32(52, 290);
  Image image = two_sequence_volume(label, "NSR03", {builder::kSector, 0, 0}, {map});
  for (uint32_t table : {280u, 290u}) {
    const auto s = builder::sector(&image, table);
    builder::put_bytes(s, 17, "*UDF Sparing Table");
    builder::put_u16(s, 48, 1);  // Reallocation Table Length
    builder::put_u32(s, 56, 0);  // packet 0 ...
    builder::put_u32(s, 60, kMovedTo);  // ... moved here
    builder::finish_tag(s, 0, table, 64 - 16);
  }
  if (damaged_first) builder::sector(&image, 280)[60] ^= 1;
  write_file_set(&image, kMovedTo, 0, label);
  write_file_set(&image, kPartitionStart, 0, "Stale");
  return image;
}

Image virtual_volume(std::string_view label, bool vat_in_data_block) {
  constexpr uint32_t kEntryBlock = 99;   // the last block of the partition and image
  constexpr uint32_t kDataBlock = 98;    // the VAT's data when not embedded
  constexpr uint32_t kFileSetBlock = 5;  // where virtual block 0 lies
  const std::vector<std::string> maps = {builder::type1_map(0),
                                         builder::type2_map("*UDF Virtual Partition", 0)};
  Image image = two_sequence_volume(label, "NSR03", {builder::kSector, 0, 1}, maps);
  write_file_set(&image, kPartitionStart + kFileSetBlock, 0, label);

  // The UDF 2.00 VAT: a 152-byte header, then virtual blocks 0 and 1.
  std::string vat(160, '\0');
  vat[0] = static_cast<char>(152);  // L_HD
  vat.replace(4, 128, builder::dstring8(label, 128));
  vat.replace(132, 4, "\xFF\xFF\xFF\xFF");  // no previous VAT
  vat[140] = 1;                              // Number of Directories
  for (size_t at : {144u, 146u, 148u}) vat[at + 1] = 2;  // UDF revisions 2.00
  vat[152] = static_cast<char>(kFileSetBlock);
  vat.replace(156, 4, "\xFF\xFF\xFF\xFF");

  const uint32_t entry = kPartitionStart + kEntryBlock;
  if (vat_in_data_block) {
    builder::write_file_entry(&image, entry, {false, 0, 0, {{kDataBlock, 160}}, 0});
    builder::put_bytes(builder::sector(&image, kPartitionStart + kDataBlock), 0, vat);
  } else {
    builder::write_file_entry(&image, entry, {false, 3, 0, {}, 160});
    builder::put_bytes(builder::sector(&image, entry), 176, vat);
  }
  const auto s = builder::sector(&image, entry);
  builder::put_u8(s, 27, 248);  // File Type: VAT
  builder::put_u32(s, 56, 160);  // Information Length
  retag(&image, entry, kEntryBlock);
  return image;
}

Image two_session_volume(std::string_view label, std::string_view second) {
  Image image = virtual_volume(label);
  const Image later = virtual_volume(second);
  const uint32_t blocks = builder::sector_count(later);
  for (uint32_t n = 0; n < blocks; ++n) {
    const auto from = builder::sector(later, n);
    std::copy(from.begin(), from.end(), builder::sector(&image, kSecondSession + n).begin());
  }
  // Only the anchor, the volume descriptors and the Partition Descriptor's
  // start are absolute; the File Set Descriptor and the VAT count from the
  // partition's start.
  const auto anchor = builder::sector(&image, kSecondSession + 256);
  for (size_t extent : {20u, 28u}) builder::put_u32(anchor, extent, builder::get_u32(anchor, extent) + kSecondSession);
  retag(&image, kSecondSession + 256, kSecondSession + 256);
  for (uint32_t first : {kMainSequence, kReserveSequence}) {
    const auto partition = builder::sector(&image, kSecondSession + first + 2);
    builder::put_u32(partition, 188, kPartitionStart + kSecondSession);
    for (uint32_t n = first; n < first + 5; ++n) retag(&image, kSecondSession + n, kSecondSession + n);
  }
  return image;
}

}  // namespace seeds
