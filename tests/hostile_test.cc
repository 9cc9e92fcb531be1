// Whole runs over hostile images: counts and lengths at their limits, fields
// that point outside their block or past the end of the image, and block
// arithmetic that wraps at 32 bits. Each image is queried and relabelled on
// copies of it: a query changes nothing, a relabel only the descriptors the
// tool's rules lead it to, each left with a valid tag, and neither run grows
// or shrinks the file.
//
// The tool uses only descriptors that verify (tag checksum, CRC Length at
// most B - 16 and its CRC, Tag Location). A field bent after the builder
// wrote its descriptor is followed by a renewed tag, so that the tool really
// reaches the bent field; decoys carry the Tag Location a wrong reading would
// look for, so that they would verify and be rewritten if it were made.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <functional>

#include "image_builder.h"
#include "run_tool.h"

namespace {

using builder::FileEntryFields;
using builder::FsdAddress;
using builder::Image;

constexpr uint32_t kBlock = 2048;
constexpr uint32_t kSectors = 600;

// Renews the tag of block `n` (its identifier and CRC Length kept) with Tag
// Location `location`, after fields in it were bent.
void refinish(Image* image, uint32_t n, uint32_t location) {
  const auto s = builder::sector(image, n);
  builder::finish_tag(s, builder::get_u16(s, 0), location, builder::get_u16(s, 10));
}

// What the two volume descriptor sequences describe: main at 32, reserve at
// 48, each PVD, IUVD, PD, LVD, USD, TD.
struct Volume {
  uint16_t partition_number = 0;
  uint32_t partition_start = 300;
  FsdAddress fsd{kBlock, 0, 0};
  std::vector<std::string> maps = {builder::type1_map(0)};
  int64_t declared_maps = -1;
  uint32_t main = 32;
  uint32_t reserve = 48;
};

// The sectors a relabel rewrites in the sequences volume() writes.
const std::vector<uint32_t> kMainSequence = {32, 33, 35};
const std::vector<uint32_t> kReserveSequence = {48, 49, 51};

Image volume(const Volume& v, uint32_t sectors = kSectors) {
  Image image = builder::blank_image(sectors);
  builder::write_vrs(&image, {"BEA01", "NSR03", "TEA01"});
  builder::write_anchor(&image, v.main, 16, v.reserve, 16);
  for (uint32_t first : {32u, 48u}) {
    builder::write_pvd(&image, first, "Old");
    builder::write_iuvd(&image, first + 1, "Old");
    builder::write_pd(&image, first + 2, v.partition_number, v.partition_start, 300);
    builder::write_lvd(&image, first + 3, "Old", v.fsd, v.maps, v.declared_maps);
    builder::write_usd(&image, first + 4);
    builder::write_td(&image, first + 5);
  }
  return image;
}

// volume() with its File Set Descriptor at sector 300, partition block 0.
Image plain_volume() {
  Image image = volume({});
  builder::write_fsd(&image, 300, "Old", "Old", 0);
  return image;
}

std::vector<uint32_t> both_sequences_and(std::vector<uint32_t> more = {}) {
  return builder::sorted_sectors({kMainSequence, kReserveSequence, more});
}

// Partition maps read from the main LVD, with a Partition Descriptor for
// partition kNumber at sector 300: the File Set Descriptor at block 280 of
// the partition that `reference` names is "In Partition" (sector 580) when
// the entry was matched, and "At Block" (sector 280) when the entry stayed
// zero-filled, a Physical partition starting at sector 0.
//
// kNumber is 3, the Descriptor Version of the USD that follows the LVD: a map
// decoded from bytes past the LVD's sector would read that as its number.
constexpr uint16_t kNumber = 3;

Image partition_table(std::vector<std::string> maps, int64_t declared, uint16_t reference) {
  Image image = volume({.partition_number = kNumber,
                        .fsd = {kBlock, 280, reference},
                        .maps = std::move(maps),
                        .declared_maps = declared});
  builder::write_fsd(&image, 280, "At Block", "At Block", 280);
  builder::write_fsd(&image, 580, "In Partition", "In Partition", 280);
  return image;
}

// 25 type 2 maps of 64 bytes of an unknown kind, after `head`, then `last`:
// with an empty head `last` starts at offset 2040 of the LVD, 8 bytes before
// the end of its sector; after a 6-byte type 1 map at 2046.
Image maps_to_sector_end(std::vector<std::string> head, std::string last, uint16_t reference) {
  std::vector<std::string> maps = std::move(head);
  maps.insert(maps.end(), 25, builder::type2_map("*Builder Filler", kNumber));
  maps.push_back(std::move(last));
  const auto declared = static_cast<int64_t>(maps.size() + 1);
  return partition_table(std::move(maps), declared, reference);
}

std::string with_length_byte(std::string map, uint8_t length) {
  map[1] = static_cast<char>(length);
  return map;
}

// Two maps, the first with a length byte of 0, so that the second would be
// decoded from the same place again.
Image after_zero_length_map(uint16_t reference) {
  return partition_table({with_length_byte(builder::type1_map(kNumber), 0), builder::type1_map(kNumber)}, 2,
                         reference);
}

// A metadata partition in physical partition 0 (start 300): metadata File
// Entry at sector 301 (partition block 1), mirror File Entry at 400 (block
// 100), File Set Descriptor at metadata block `fsd_block`. Copies "Main" at
// 302 and "Mirror" at 410, where the two files of an ordinary volume (data at
// blocks 2 and 110) put block 0. Sector 300, partition block 0, is left for a
// decoy: an extent left zero-filled covers that one block.
constexpr uint32_t kMetadataFile = 301;

Image metadata_volume(FileEntryFields main, FileEntryFields mirror, uint32_t fsd_block = 0) {
  Image image = volume(
      {.fsd = {kBlock, fsd_block, 1}, .maps = {builder::type1_map(0), builder::metadata_map(0, 1, 100)}});
  main.location = 1;
  mirror.location = 100;
  builder::write_file_entry(&image, kMetadataFile, main);
  builder::write_file_entry(&image, 400, mirror);
  builder::write_fsd(&image, 302, "Main", "Main", fsd_block);
  builder::write_fsd(&image, 410, "Mirror", "Mirror", fsd_block);
  return image;
}

// A File Set Descriptor "Block Zero" at partition block 0 (sector 300) of
// metadata_volume(), found only through a zero-filled extent.
void write_block_zero_decoy(Image* image, uint32_t fsd_block) {
  builder::write_fsd(image, 300, "Block Zero", "Block Zero", fsd_block);
}

const FileEntryFields kMainFile{.extents = {{2, 5 * kBlock}}};
const FileEntryFields kMirrorFile{.extents = {{110, 5 * kBlock}}};

void set_u32(Image* image, uint32_t n, size_t offset, uint32_t value) {
  builder::put_u32(builder::sector(image, n), offset, value);
}

// A metadata File Entry's field bent, its tag renewed for its partition block.
void bend_entry(Image* image, uint32_t n, size_t offset, uint32_t value) {
  set_u32(image, n, offset, value);
  refinish(image, n, n - 300);
}

// Offsets of L_EA and L_AD in a File Entry.
constexpr size_t kLengthOfEa = 168;
constexpr size_t kLengthOfAd = 172;

// The metadata File Entry's L_EA or L_AD field set to `value` after its
// allocation descriptors were written.
Image metadata_with_field(size_t offset, uint32_t value) {
  Image image = metadata_volume(kMainFile, kMirrorFile);
  bend_entry(&image, kMetadataFile, offset, value);
  return image;
}

// L_EA 0xFFFFFFFF. Summed in 32 bits it would put the allocation descriptors
// at offset 175, where the last byte of L_AD and bytes 176-182 make a short_ad
// of one block at block 5: a decoy File Set Descriptor at sector 305.
Image wrapping_ea_length() {
  Image image = metadata_with_field(kLengthOfEa, 0xFFFFFFFF);
  builder::put_bytes(builder::sector(&image, kMetadataFile), 176, std::string("\x08\0\0\x05\0\0\0", 7));
  refinish(&image, kMetadataFile, 1);
  builder::write_fsd(&image, 305, "Wrapped", "Wrapped", 0);
  return image;
}

// L_AD 0xFFFFFFFF in both metadata files (short_ads and long_ads): each list
// is cut to the descriptors inside the block, the first one five blocks
// long and the rest zero-length. Had the list been as long as L_AD claims,
// its entries after the block's end would stay zero-filled and each cover
// partition block 0, where a File Set Descriptor waits.
Image huge_ad_lengths(uint32_t fsd_block) {
  Image image = metadata_volume(kMainFile, {.ad_type = 1, .extents = {{110, 5 * kBlock}}}, fsd_block);
  bend_entry(&image, kMetadataFile, kLengthOfAd, 0xFFFFFFFF);
  bend_entry(&image, 400, kLengthOfAd, 0xFFFFFFFF);
  write_block_zero_decoy(&image, fsd_block);
  return image;
}

// Embedded data (ICB flags 3) in both metadata files with L_AD 0xFFFFFFFF:
// the list is cut to the 2048 - 176 bytes left in the block, each entry
// partition block 0, where a File Set Descriptor waits.
Image embedded_everywhere(uint32_t fsd_block) {
  const FileEntryFields embedded{.ad_type = 3, .extents = {}, .embedded_length = 4};
  Image image = metadata_volume(embedded, embedded, fsd_block);
  bend_entry(&image, kMetadataFile, kLengthOfAd, 0xFFFFFFFF);
  bend_entry(&image, 400, kLengthOfAd, 0xFFFFFFFF);
  write_block_zero_decoy(&image, fsd_block);
  return image;
}

// Gives the descriptor at block `n` the Descriptor CRC Length `length` with
// the rest of its tag right: Tag Location `location`, the CRC over the 2032
// bytes after the tag and the tag checksum.
void set_crc_length(Image* image, uint32_t n, uint32_t location, uint16_t length) {
  const auto s = builder::sector(image, n);
  builder::finish_tag(s, builder::get_u16(s, 0), location, kBlock - 16);
  builder::put_u16(s, 10, length);
  uint32_t sum = 0;
  for (size_t i = 0; i < 16; ++i) sum += i == 4 ? 0 : s[i];
  s[4] = static_cast<uint8_t>(sum);
}

// CRC Lengths past the block in the main PVD, IUVD and LVD and the File Set
// Descriptor, each with the CRC a reader cutting the length to 2032 would
// accept; the reserve PVD and LVD at exactly 2032.
Image oversized_crc_lengths() {
  Image image = plain_volume();
  set_crc_length(&image, 32, 32, 0xFFFF);
  set_crc_length(&image, 33, 33, 2033);
  set_crc_length(&image, 35, 35, 0xFFFF);
  set_crc_length(&image, 300, 0, 0xFFFF);
  set_crc_length(&image, 48, 48, 2032);
  set_crc_length(&image, 51, 51, 2032);
  return image;
}

std::string letters(size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s.push_back(static_cast<char>('a' + i % 26));
  return s;
}

// A File Set Descriptor whose Logical Volume Identifier fills its field with
// characters and ends in `length_byte`, which claims more than the field.
Image overlong_identifier(uint8_t compression, uint8_t length_byte) {
  Image image = plain_volume();
  auto identifier = builder::sector(&image, 300).subspan(112, 128);
  const std::string text = letters(126);
  identifier[0] = compression;
  for (size_t i = 1; i < 127; ++i) {
    // 16-bit: high bytes 0, so every other letter is a character.
    identifier[i] = compression == 16 && i % 2 == 1 ? 0 : static_cast<uint8_t>(text[i - 1]);
  }
  identifier[127] = length_byte;
  refinish(&image, 300, 0);
  return image;
}

// Type 1 maps and physical partition 0 at 0xFFFFFFF0: logical block 0x20
// maps to sector 0x10, the first sector of the recognition sequence.
Image partition_at_top(bool file_set_at_sixteen) {
  Image image = volume({.partition_start = 0xFFFFFFF0, .fsd = {kBlock, 0x20, 0}});
  if (file_set_at_sixteen) {
    // The recognition sequence then starts one sector later.
    builder::write_vrs(&image, {"BEA01", "BEA01", "NSR03", "TEA01"});
    auto s = builder::sector(&image, 16);
    std::fill(s.begin(), s.end(), uint8_t{0});
    builder::write_fsd(&image, 16, "At Sixteen", "At Sixteen", 0x20);
  }
  return image;
}

// Metadata files whose one extent starts at sector 0xFFFFFFFE (block
// 0xFFFFFED2 of the partition at 300) and is four blocks long, so that it
// ends at sector 1.
Image metadata_extent_over_the_top(uint32_t fsd_block) {
  const FileEntryFields over_the_top{.extents = {{0xFFFFFED2, 4 * kBlock}}};
  Image image = metadata_volume(over_the_top, over_the_top, fsd_block);
  builder::write_fsd(&image, 1, "Past The Top", "Past The Top", fsd_block);
  return image;
}

// The metadata partition's physical partition starts at 0xFFFFFFF0; the
// metadata file (block 0x13C) and its data (block 0x13E) wrap round to
// sectors 300 and 302. No mirror.
Image metadata_partition_at_top() {
  Image image = volume({.partition_start = 0xFFFFFFF0,
                        .fsd = {kBlock, 0, 1},
                        .maps = {builder::type1_map(0), builder::metadata_map(0, 0x13C, 0)}});
  builder::write_file_entry(&image, 300, {.extents = {{0x13E, 5 * kBlock}}, .location = 0x13C});
  builder::write_fsd(&image, 302, "Wrapped Start", "Wrapped Start", 0);
  return image;
}

// PVD, IUVD, PD (partition 0 at `partition_start`) and LVD (File Set
// Descriptor at block 0, one type 1 map) from sector `first` on.
void write_volume_descriptors(Image* image, uint32_t first, uint32_t partition_start) {
  builder::write_pvd(image, first, "Old");
  builder::write_iuvd(image, first + 1, "Old");
  builder::write_pd(image, first + 2, 0, partition_start, 300);
  builder::write_lvd(image, first + 3, "Old", {kBlock, 0, 0}, {builder::type1_map(0)});
}

// The main sequence at 260, its extent 0xFFFFFFFF bytes long, PVD, IUVD, PD
// (partition 0 at 100), LVD and then Unallocated Space Descriptors up to the
// end of an image of `sectors`, with no Terminating Descriptor.
Image endless_sequence(uint32_t sectors) {
  Image image = volume({.partition_start = 100, .main = 260}, sectors);
  set_u32(&image, 256, 16, 0xFFFFFFFF);
  refinish(&image, 256, 256);
  write_volume_descriptors(&image, 260, 100);
  for (uint32_t n = 264; n < sectors; ++n) builder::write_usd(&image, n);
  builder::write_fsd(&image, 100, "Old", "Old", 0);
  builder::write_fsd(&image, 0, "Unmatched", "Unmatched", 0);
  return image;
}

// Cuts the image `bytes_into_last` bytes into its last sector.
Image ending_mid_sector(Image image, size_t bytes_into_last) {
  image.bytes.resize(image.bytes.size() - kBlock + bytes_into_last);
  return image;
}

// The main sequence at 592, 16 sectors long, in an image whose last sector
// (600) holds only the first 1000 bytes of a Primary Volume Descriptor.
Image sequence_into_partial_sector() {
  Image image = volume({.main = 592}, kSectors + 1);
  write_volume_descriptors(&image, 592, 300);
  for (uint32_t n = 596; n < 600; ++n) builder::write_usd(&image, n);
  builder::write_pvd(&image, 600, "Partial");
  builder::write_fsd(&image, 300, "Old", "Old", 0);
  return ending_mid_sector(std::move(image), 1000);
}

// Partition 0 starts at sector 600, of which the image holds only the first
// 1000 bytes: the File Set Descriptor's tag and identifiers, but not whole.
Image file_set_in_partial_sector() {
  Image image = volume({.partition_start = 600}, kSectors + 1);
  builder::write_fsd(&image, 600, "Partial", "Partial", 0);
  return ending_mid_sector(std::move(image), 1000);
}

Image with_anchor(Image image, uint32_t main, uint32_t main_bytes, uint32_t reserve, uint32_t reserve_bytes) {
  set_u32(&image, 256, 16, main_bytes);
  set_u32(&image, 256, 20, main);
  set_u32(&image, 256, 24, reserve_bytes);
  set_u32(&image, 256, 28, reserve);
  refinish(&image, 256, 256);
  return image;
}

// What a relabel prints after its Changing line.
constexpr char kDone[] = "Done!\n";
constexpr char kNoFileSet[] = "File Set Descriptor not found\n";

std::string damaged(std::initializer_list<uint32_t> blocks) {
  std::string lines;
  for (uint32_t n : blocks) lines += "Damaged descriptor at block " + std::to_string(n) + " left unchanged\n";
  return lines;
}

// A hostile image and what both runs must make of it.
struct HostileCase {
  std::string name;
  std::function<Image()> make;
  std::vector<uint32_t> rewritten;  // sectors a relabel changes, in order
  std::string label;                // what a query prints
  std::string relabel = kDone;      // what a relabel prints after its Changing line
  int relabel_status = 0;
};

const HostileCase kCases[] = {
    // Partition maps at the end of the LVD's sector: a map is decoded only
    // when the fields its type reads and its declared length lie in the
    // sector; decoding stops at the first that does not.
    {"map fields cut by the sector end stay zero-filled",
     [] { return maps_to_sector_end({builder::type1_map(kNumber)}, builder::type1_map(kNumber), 26); },
     both_sequences_and({280}), "At Block"},
    {"map ending two bytes before the sector end is decoded",
     [] { return maps_to_sector_end({}, builder::type1_map(kNumber), 25); }, both_sequences_and({580}),
     "In Partition"},
    {"map whose length byte runs past the sector end stays zero-filled",
     [] { return maps_to_sector_end({}, with_length_byte(builder::type1_map(kNumber), 9), 25); },
     both_sequences_and({280}), "At Block"},
    {"map of length 0 is decoded", [] { return after_zero_length_map(0); }, both_sequences_and({580}),
     "In Partition"},
    {"map after one of length 0 stays zero-filled", [] { return after_zero_length_map(1); },
     both_sequences_and({280}), "At Block"},
    {"0xFFFFFFFF partition maps, the first decoded",
     [] { return partition_table({builder::type1_map(kNumber)}, 0xFFFFFFFF, 0); }, both_sequences_and({580}),
     "In Partition"},
    {"0xFFFFFFFF partition maps, entry 65535 zero-filled",
     [] { return partition_table({builder::type1_map(kNumber)}, 0xFFFFFFFF, 65535); },
     both_sequences_and({280}), "At Block"},

    // The metadata File Entry's allocation descriptors are read only inside
    // its sector; an empty main list leaves the mirror's copy. With neither
    // copy found, a query shows the LVD's label.
    {"L_EA 0xFFFFFFFF in the metadata File Entry", wrapping_ea_length, both_sequences_and({410}), "Mirror"},
    {"L_EA of an Extended File Entry one byte past the sector",
     [] {
       return metadata_volume({.extended = true, .ea_length = 2048 - 216 + 1, .extents = {{2, 5 * kBlock}}},
                              kMirrorFile);
     },
     both_sequences_and({410}), "Mirror"},
    {"L_AD 0xFFFFFFFF, block in the first extent", [] { return huge_ad_lengths(0); },
     both_sequences_and({302, 410}), "Main"},
    {"L_AD 0xFFFFFFFF, block past the extents in the sector", [] { return huge_ad_lengths(5); },
     both_sequences_and(), "Old", kNoFileSet, 1},
    {"L_EA past the sector in both metadata files",
     [] {
       Image image = metadata_with_field(kLengthOfEa, 2048);
       bend_entry(&image, 400, kLengthOfEa, 0xFFFFFFF0);
       return image;
     },
     both_sequences_and(), "Old", kNoFileSet, 1},
    {"second short_ad crossing the sector end",
     // 12 bytes left: a zero-length short_ad, then 4 bytes of one that
     // would have mapped block 0 (to 302, or left zero-filled to 300).
     [] {
       Image image = metadata_volume({.ea_length = 2048 - 176 - 12, .extents = {{0, 0}, {2, 5 * kBlock}}},
                                     kMirrorFile);
       write_block_zero_decoy(&image, 0);
       return image;
     },
     both_sequences_and({410}), "Mirror"},
    {"second ext_ad crossing the sector end",
     [] {
       return metadata_volume(
           {.ad_type = 2, .ea_length = 2048 - 176 - 30, .extents = {{2, 5 * kBlock}, {50, kBlock}}},
           kMirrorFile);
     },
     both_sequences_and({302, 410}), "Main"},
    {"embedded L_AD 0xFFFFFFFF, last block of the cut list",
     [] { return embedded_everywhere(2048 - 176 - 1); }, both_sequences_and({300}), "Block Zero"},
    {"embedded L_AD 0xFFFFFFFF, first block past the cut list",
     [] { return embedded_everywhere(2048 - 176); }, both_sequences_and(), "Old", kNoFileSet, 1},

    // Descriptor CRC Lengths beyond the sector: such a descriptor does not
    // verify and is left as it was (checked below); the reserve LVD's maps
    // and label stand in, and the main sequence's are mended from them.
    {"Descriptor CRC Length above 2032", oversized_crc_lengths, both_sequences_and(), "Old",
     "Repaired descriptor at block 32 from block 48\nRepaired descriptor at block 33 from block 49\n"
     "Repaired descriptor at block 35 from block 51\n" + damaged({300}), 1},

    // Logical Volume Identifier length bytes beyond the 128-byte field.
    {"identifier length byte 128", [] { return overlong_identifier(8, 128); }, both_sequences_and({300}),
     letters(126)},
    {"identifier length byte 255", [] { return overlong_identifier(8, 255); }, both_sequences_and({300}),
     letters(126)},
    {"16-bit identifier length byte 255", [] { return overlong_identifier(16, 255); },
     both_sequences_and({300}),
     [] {
       std::string every_other;
       const std::string all = letters(126);
       for (size_t i = 1; i < all.size(); i += 2) every_other.push_back(all[i]);
       return every_other;
     }()},

    // Extent lengths are taken whole, extent-type bits and 32-bit sums
    // included.
    {"extent-type bits set in metadata extent lengths",
     // 0xC0000800 bytes are 0x180001 blocks: block 3 lies in the first
     // extent. Were the bits masked it would lie in the second (sector 352).
     [] {
       Image image = metadata_volume({.extents = {{2, 0xC0000800}, {50, 10 * kBlock}}},
                                     {.extents = {{110, 0xC0000800}}}, 3);
       builder::write_fsd(&image, 305, "Whole Length", "Whole Length", 3);
       builder::write_fsd(&image, 352, "Masked", "Masked", 3);
       builder::write_fsd(&image, 413, "Whole Length", "Whole Length", 3);
       return image;
     },
     both_sequences_and({305, 413}), "Whole Length"},
    {"extent length 0xFFFFFFFF rounds to no block",
     // 0xFFFFFFFF + 2047 wraps to 2046: the first extent covers nothing and
     // block 0 lies in the second.
     [] {
       Image image = metadata_volume({.extents = {{2, 0xFFFFFFFF}, {50, kBlock}}},
                                     {.extents = {{110, 0xFFFFFFFF}, {150, kBlock}}});
       builder::write_fsd(&image, 350, "Wrapped Sum", "Wrapped Sum", 0);
       builder::write_fsd(&image, 450, "Wrapped Sum", "Wrapped Sum", 0);
       return image;
     },
     both_sequences_and({350, 450}), "Wrapped Sum"},

    // Block arithmetic wraps at 32 bits; only a File Set Descriptor at the
    // mapped sector is rewritten, any other block there counts as none.
    {"partition at 0xFFFFFFF0 maps block 0x20 to the recognition sequence",
     [] { return partition_at_top(false); }, both_sequences_and(), "Old", kNoFileSet, 1},
    {"partition at 0xFFFFFFF0 maps block 0x20 to a File Set Descriptor at 16",
     [] { return partition_at_top(true); }, both_sequences_and({16}), "At Sixteen"},
    {"metadata extent running over the top sector to sector 1",
     [] { return metadata_extent_over_the_top(3); }, both_sequences_and({1}), "Past The Top"},
    {"metadata partition at 0xFFFFFFF0", metadata_partition_at_top, both_sequences_and({302}),
     "Wrapped Start"},

    // Sector numbers near 2^32 on a small image: nothing is read there, and
    // nothing written.
    {"metadata block at sector 0xFFFFFFFF", [] { return metadata_extent_over_the_top(1); },
     both_sequences_and(), "Old", kNoFileSet, 1},
    {"partition at 0xFFFFFFFF", [] { return volume({.partition_start = 0xFFFFFFFF}); }, both_sequences_and(),
     "Old", kNoFileSet, 1},
    {"main sequence at 0xFFFFFFF8",
     // The main sequence holds no LVD: the reserve's maps and Partition
     // Descriptor stand in.
     [] { return with_anchor(plain_volume(), 0xFFFFFFF8, 16 * kBlock, 48, 16 * kBlock); },
     builder::sorted_sectors({kReserveSequence, {300}}), "Old"},
    {"reserve sequence at 0xFFFFFFFF, 0xFFFFFFFF bytes long",
     [] { return with_anchor(plain_volume(), 32, 16 * kBlock, 0xFFFFFFFF, 0xFFFFFFFF); },
     builder::sorted_sectors({kMainSequence, {300}}), "Old"},

    // Sequence extents past the end of the file.
    {"both sequences past the end of the image",
     [] { return with_anchor(plain_volume(), 1000, 16 * kBlock, 5000, 16 * kBlock); }, {}, "", kNoFileSet, 1},
    {"reserve sequence past the end of the image",
     [] { return with_anchor(plain_volume(), 32, 16 * kBlock, kSectors, 16 * kBlock); },
     builder::sorted_sectors({kMainSequence, {300}}), "Old"},

    // Sequence extents of 0xFFFFFFFF bytes end at the first sector that is
    // not a volume descriptor, or with the image.
    {"0xFFFFFFFF-byte sequences ending at their Terminating Descriptors",
     [] { return with_anchor(plain_volume(), 32, 0xFFFFFFFF, 48, 0xFFFFFFFF); }, both_sequences_and({300}),
     "Old"},
    {"0xFFFFFFFF-byte sequence up to an image ending inside a chunk",
     // The chunk at 260 holds 10 sectors: the walk ends with it.
     [] { return endless_sequence(270); }, builder::sorted_sectors({{100, 260, 261, 263}, kReserveSequence}),
     "Old"},
    {"0xFFFFFFFF-byte sequence up to an image ending at a chunk boundary",
     // The chunk at 276 reads nothing: the walk ends there, and partition 0
     // still starts where the Partition Descriptor at 262 says, not at 0.
     [] { return endless_sequence(276); }, builder::sorted_sectors({{100, 260, 261, 263}, kReserveSequence}),
     "Old"},

    // Images ending mid-sector.
    {"main sequence into a partial last sector", sequence_into_partial_sector,
     builder::sorted_sectors({{300, 592, 593, 595}, kReserveSequence}), "Old"},
    {"File Set Descriptor in a partial last sector", file_set_in_partial_sector, both_sequences_and(), "Old",
     kNoFileSet, 1},
};

bool carries_label(uint16_t tag) { return tag == 1 || tag == 4 || tag == 6 || tag == 256; }

bool whole_sector(const Image& image, uint32_t n) { return (size_t{n} + 1) * kBlock <= image.bytes.size(); }

// Runs a query and a relabel to "New" on copies of the case's image, checks
// both, and returns the image as the relabel left it.
Image check_case(const HostileCase& c) {
  SCOPED_TRACE(c.name);
  const Image image = c.make();
  TempDir dir;
  const std::string query_path = dir.file("query.iso");
  const std::string relabel_path = dir.file("relabel.iso");
  EXPECT_TRUE(builder::write_file(query_path, image));
  EXPECT_TRUE(builder::write_file(relabel_path, image));

  ToolResult r = run_tool({query_path});
  EXPECT_EQ(r.out, "Volume label of " + query_path + ": " + c.label + "\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(builder::read_file(query_path).bytes == image.bytes) << "a query changed the image";

  // An incomplete relabel writes nothing; forced, the copies that verify.
  const std::string changing = "Changing " + relabel_path + " volume label to 'New'\n";
  r = run_tool({relabel_path, "New"});
  if (c.relabel_status != 0) {
    EXPECT_EQ(r.out, changing + c.relabel + "Nothing written (--force writes the copies that verify)\n");
    EXPECT_TRUE(builder::read_file(relabel_path).bytes == image.bytes) << "an incomplete relabel wrote";
    r = run_tool({"-f", relabel_path, "New"});
  }
  EXPECT_EQ(r.out, changing + c.relabel);
  EXPECT_EQ(r.status, c.relabel_status);
  const Image after = builder::read_file(relabel_path);
  EXPECT_EQ(after.bytes.size(), image.bytes.size());
  const std::vector<uint32_t> changed = builder::changed_sectors(image, after);
  EXPECT_EQ(changed, c.rewritten);
  for (uint32_t n : changed) {
    if (!whole_sector(image, n) || !whole_sector(after, n)) continue;  // reported by the size check
    const uint16_t tag = builder::get_u16(builder::sector(image, n), 0);
    EXPECT_TRUE(carries_label(tag)) << "sector " << n << " with tag " << tag << " was written";
    EXPECT_EQ(builder::get_u16(builder::sector(after, n), 0), tag) << "sector " << n;
    EXPECT_TRUE(builder::tag_is_valid(builder::sector(after, n))) << "sector " << n;
  }

  // The copy of the File Set Descriptor the query read, or the LVD whose
  // label it fell back on, was rewritten.
  r = run_tool({relabel_path});
  EXPECT_EQ(r.out, "Volume label of " + relabel_path + ": " + (c.label.empty() ? "" : "New") + "\n");
  return after;
}

class Hostile : public testing::TestWithParam<size_t> {};

TEST_P(Hostile, QueryChangesNothingAndRelabelOnlyTheReachedDescriptors) { check_case(kCases[GetParam()]); }

INSTANTIATE_TEST_SUITE_P(Images, Hostile, testing::Range<size_t>(0, std::size(kCases)),
                         [](const testing::TestParamInfo<size_t>& param) {
                           std::string name;
                           bool upper = true;
                           for (char c : kCases[param.param].name) {
                             if (std::isalnum(static_cast<unsigned char>(c)) == 0) {
                               upper = true;
                             } else {
                               name.push_back(upper ? static_cast<char>(std::toupper(c)) : c);
                               upper = false;
                             }
                           }
                           return name;
                         });

TEST(HostileCrcLength, LengthsBeyondTheBlockDoNotVerifyAndLengthB16Does) {
  const auto it = std::find_if(std::begin(kCases), std::end(kCases), [](const HostileCase& c) {
    return c.name == "Descriptor CRC Length above 2032";
  });
  ASSERT_NE(it, std::end(kCases));
  const Image after = check_case(*it);
  // The damaged File Set Descriptor keeps its length (check_case saw it
  // unchanged); the rewritten ones at 2032 keep theirs, those the builder
  // gave a shorter length keep that, and the mended ones take their twins'.
  EXPECT_EQ(builder::get_u16(builder::sector(after, 300), 10), 0xFFFF);
  for (uint32_t n : {32u, 35u, 48u, 51u}) {
    EXPECT_EQ(builder::get_u16(builder::sector(after, n), 10), 2032) << "sector " << n;
  }
  for (uint32_t n : {33u, 49u}) {
    EXPECT_EQ(builder::get_u16(builder::sector(after, n), 10), builder::get_u16(builder::sector(it->make(), 49), 10));
  }
}

// The top of the sector range, reached for real in a sparse image 2^43 bytes
// long: the main sequence fills its last 16 sectors and is 0xFFFFFFFF bytes
// long, so its next chunk would start at sector 0 again.
TEST(HostileTopOfRange, SequenceEndingAtSector4294967295DoesNotWrapToSectorZero) {
  constexpr uint32_t kTopFirst = 0xFFFFFFEF;  // File Set Descriptor, then the sequence
  constexpr uint32_t kSequence = 0xFFFFFFF0;
  Image low = plain_volume();
  builder::write_pvd(&low, 0, "Sector Zero");  // where a wrapped walk would go on
  low = with_anchor(std::move(low), kSequence, 0xFFFFFFFF, 48, 16 * kBlock);

  Image top = builder::blank_image(17);  // top sector k is sector kTopFirst + k
  builder::write_fsd(&top, 0, "Near The Top", "Near The Top", 0xEF);
  builder::write_pvd(&top, 1, "Old");
  builder::write_iuvd(&top, 2, "Old");
  builder::write_pd(&top, 3, 0, 0xFFFFFF00, 0x100);
  builder::write_lvd(&top, 4, "Old", {kBlock, 0xEF, 0}, {builder::type1_map(0)});
  for (uint32_t k = 5; k < 17; ++k) builder::write_usd(&top, k);
  for (uint32_t k = 1; k < 17; ++k) refinish(&top, k, kTopFirst + k);  // where they lie

  TempDir dir;
  const auto place = [&](const std::string& path) {
    EXPECT_TRUE(builder::write_file(path, low));
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(uint64_t{kTopFirst} * kBlock));
    file.write(reinterpret_cast<const char*>(top.bytes.data()),
               static_cast<std::streamsize>(top.bytes.size()));
    EXPECT_TRUE(file.good());
  };
  // The low sectors and the top ones of the image at `path`.
  const auto read_back = [&](const std::string& path, Image* low_part, Image* top_part) {
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    EXPECT_EQ(static_cast<uint64_t>(file.tellg()), uint64_t{1} << 43);
    low_part->bytes.resize(low.bytes.size());
    top_part->bytes.resize(top.bytes.size());
    file.seekg(0);
    file.read(reinterpret_cast<char*>(low_part->bytes.data()),
              static_cast<std::streamsize>(low.bytes.size()));
    file.seekg(static_cast<std::streamoff>(uint64_t{kTopFirst} * kBlock));
    file.read(reinterpret_cast<char*>(top_part->bytes.data()),
              static_cast<std::streamsize>(top.bytes.size()));
  };

  const std::string path = dir.file("top.iso");
  place(path);
  ToolResult r = run_tool({path});
  EXPECT_EQ(r.out, "Volume label of " + path + ": Near The Top\n");
  EXPECT_EQ(r.status, 0);

  r = run_tool({path, "New"});
  EXPECT_EQ(r.out, "Changing " + path + " volume label to 'New'\nDone!\n");
  EXPECT_EQ(r.status, 0);
  Image low_after;
  Image top_after;
  read_back(path, &low_after, &top_after);
  EXPECT_EQ(builder::changed_sectors(low, low_after), kReserveSequence);
  // The File Set Descriptor, the PVD, IUVD and LVD; the sector 2^32 - 1 is
  // the last Unallocated Space Descriptor.
  EXPECT_EQ(builder::changed_sectors(top, top_after), (std::vector<uint32_t>{0, 1, 2, 4}));
  for (uint32_t k : {0u, 1u, 2u, 4u}) EXPECT_TRUE(builder::tag_is_valid(builder::sector(top_after, k)));
  EXPECT_EQ(run_tool({path}).out, "Volume label of " + path + ": New\n");
}

}  // namespace
