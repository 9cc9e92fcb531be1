// Allocation descriptors of the metadata File Entries and the mapping of a
// logical block to a sector.
#include <gtest/gtest.h>

#include "udf/volume.h"
#include "image_builder.h"
#include "run_tool.h"
#include "udf/metadata.h"

namespace {

using builder::FileEntryFields;

std::array<uint8_t, 2048> file_entry(const FileEntryFields& fields) {
  builder::Image image = builder::blank_image(1);
  builder::write_file_entry(&image, 0, fields);
  std::array<uint8_t, 2048> d{};
  std::copy_n(image.bytes.begin(), 2048, d.begin());
  return d;
}

std::array<uint8_t, 16> long_ad(uint32_t block, uint16_t partition) {
  std::array<uint8_t, 16> ad{};
  builder::put_u32(ad, 0, 2048);
  builder::put_u32(ad, 4, block);
  builder::put_u16(ad, 8, partition);
  return ad;
}

TEST(LocateAllocationDescriptors, FileEntryAndExtendedFileEntryLayouts) {
  const auto fe = file_entry({false, 0, 0, {{10, 4096}, {50, 2048}}, 0});
  auto area = locate_allocation_descriptors(fe);
  ASSERT_TRUE(area);
  EXPECT_EQ(area->offset, 176u);
  EXPECT_EQ(area->type, 0);
  EXPECT_EQ(area->count, 2u);

  const auto efe = file_entry({true, 1, 32, {{1, 1}, {2, 2}, {3, 3}}, 0});
  area = locate_allocation_descriptors(efe);
  ASSERT_TRUE(area);
  EXPECT_EQ(area->offset, 248u);  // 216 + L_EA
  EXPECT_EQ(area->type, 1);
  EXPECT_EQ(area->count, 3u);

  area = locate_allocation_descriptors(file_entry({false, 3, 0, {}, 40}));
  ASSERT_TRUE(area);
  EXPECT_EQ(area->count, 40u);  // embedded data: one entry per byte

  auto other_type = file_entry({false, 0, 0, {{1, 1}}, 0});
  other_type[34] = 5;
  EXPECT_EQ(locate_allocation_descriptors(other_type)->count, 0u);

  auto not_an_entry = fe;
  builder::put_u16(not_an_entry, 0, 5);  // a Partition Descriptor
  EXPECT_FALSE(locate_allocation_descriptors(not_an_entry));
}

TEST(LocateAllocationDescriptors, CountIsCutToTheSector) {
  auto fe = file_entry({false, 0, 0, {{10, 4096}}, 0});
  builder::put_u32(fe, 172, 0xFFFFFFF8);  // L_AD far beyond the sector
  EXPECT_EQ(locate_allocation_descriptors(fe)->count, (2048u - 176) / 8);

  builder::put_u32(fe, 168, 2048 - 176 - 12);  // 12 bytes left: one short_ad
  EXPECT_EQ(locate_allocation_descriptors(fe)->count, 1u);

  builder::put_u32(fe, 168, 0xFFFFFFF0);  // L_EA that would wrap in 32 bits
  EXPECT_EQ(locate_allocation_descriptors(fe)->count, 0u);

  fe[34] = 3;  // embedded: bytes up to the sector's end
  builder::put_u32(fe, 168, 0);
  EXPECT_EQ(locate_allocation_descriptors(fe)->count, 2048u - 176);
}

TEST(DecodeAllocationDescriptor, TakesEachFormsFields) {
  const auto fe = file_entry({false, 2, 0, {{0x1234, 0xC0000800}}, 0});
  auto decoded = decode_allocation_descriptor(fe, 176, 2);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->extent.kind, kExtentKind);
  EXPECT_EQ(decoded->extent.location, 0x1234u);
  EXPECT_EQ(decoded->extent.length, 0xC0000800u);  // extent-type bits kept
  EXPECT_EQ(decoded->next, 196u);

  const auto la = file_entry({false, 1, 0, {{77, 2048}}, 0});
  decoded = decode_allocation_descriptor(la, 176, 1);
  EXPECT_EQ(decoded->extent.location, 77u);
  EXPECT_EQ(decoded->next, 192u);

  decoded = decode_allocation_descriptor(la, 180, 3);
  EXPECT_EQ(decoded->extent.kind, kEmbeddedKind);
  EXPECT_EQ(decoded->next, 180u);

  EXPECT_FALSE(decode_allocation_descriptor(la, 176, 4));
  EXPECT_FALSE(decode_allocation_descriptor(la, 2044, 0));  // would cross the sector's end
}

// A run whose partition table holds `entries`.
struct Table {
  explicit Table(std::vector<PartitionEntry> entries) : partitions(std::move(entries)) {}
  ImageContext image;
  std::vector<PartitionEntry> partitions;
};

// Partition number 1: no physical partition shares it, so its extents are
// taken as absolute blocks.
PartitionEntry metadata_entry(std::vector<BlockExtent> main, std::vector<BlockExtent> mirror = {}) {
  PartitionEntry e;
  e.kind = PartitionKind::Metadata;
  e.number = 1;
  e.main_extents = std::move(main);
  e.mirror_extents = std::move(mirror);
  return e;
}

std::optional<uint32_t> map(Table* t, std::span<const uint8_t, 16> location, ExtentList which) {
  return map_block_to_sector(&t->image, t->partitions, builder::get_u16(location, 8), builder::get_u32(location, 4),
                             which);
}

TEST(MapBlockToSector, PhysicalAndMetadataPartitions) {
  PartitionEntry physical;
  physical.start = 257;
  Table t({physical, metadata_entry({{310, 311}, {350, 350}}, {{400, 400}})});
  EXPECT_EQ(map(&t, long_ad(0, 0), ExtentList::Main), 257u);
  EXPECT_EQ(map(&t, long_ad(0, 1), ExtentList::Main), 310u);
  EXPECT_EQ(map(&t, long_ad(1, 1), ExtentList::Main), 311u);
  EXPECT_EQ(map(&t, long_ad(2, 1), ExtentList::Main), 350u);
  EXPECT_EQ(map(&t, long_ad(3, 1), ExtentList::Main), std::nullopt);
  EXPECT_EQ(map(&t, long_ad(0, 1), ExtentList::Mirror), 400u);
  EXPECT_EQ(map(&t, long_ad(1, 1), ExtentList::Mirror), std::nullopt);
  EXPECT_EQ(map(&t, long_ad(0, 2), ExtentList::Main), std::nullopt);  // no entry
}

TEST(MapBlockToSector, ZeroFilledAndEmptyExtentsAndOtherKinds) {
  PartitionEntry virtual_entry;
  virtual_entry.kind = PartitionKind::Virtual;
  // {0,0} covers one block at sector 0; {20,19} (a zero-length extent) none.
  Table t({metadata_entry({{20, 19}, {0, 0}, {0, 0}}), virtual_entry,
                                    metadata_entry({})});
  EXPECT_EQ(map(&t, long_ad(0, 0), ExtentList::Main), 0u);
  EXPECT_EQ(map(&t, long_ad(1, 0), ExtentList::Main), 0u);
  EXPECT_EQ(map(&t, long_ad(2, 0), ExtentList::Main), std::nullopt);
  EXPECT_EQ(map(&t, long_ad(0, 1), ExtentList::Main), std::nullopt);
  EXPECT_EQ(map(&t, long_ad(0, 2), ExtentList::Main), std::nullopt);
  EXPECT_EQ(map(&t, long_ad(0, 2), ExtentList::Mirror), std::nullopt);
}

TEST(MapBlockToSector, ArithmeticWrapsAt32Bits) {
  PartitionEntry physical;
  physical.start = 0xFFFFFFF0;
  Table t({physical, metadata_entry({{0xFFFFFFFE, 0xFFFFFFFF}, {5, 6}})});
  EXPECT_EQ(map(&t, long_ad(0x20, 0), ExtentList::Main), 0x10u);
  EXPECT_EQ(map(&t, long_ad(1, 1), ExtentList::Main), 0xFFFFFFFFu);
  EXPECT_EQ(map(&t, long_ad(3, 1), ExtentList::Main), 6u);
}

// read_metadata_extents over a real image: File Entries at blocks 300
// (main) and 400 (mirror) of a partition starting at block 0.
struct MetadataRead {
  MetadataRead(const FileEntryFields& main, const FileEntryFields* mirror, uint32_t mirror_location) {
    builder::Image image = builder::blank_image(420);
    builder::write_file_entry(&image, 300, main);
    if (mirror != nullptr) builder::write_file_entry(&image, 400, *mirror);
    const std::string path = dir.file("m.iso");
    builder::write_file(path, image);
    stream_open(&context.file, path.c_str(), false);
    entry.kind = PartitionKind::Metadata;
    entry.metadata_file_location = 300;
    entry.metadata_mirror_location = mirror_location;
    read_metadata_extents(&context, &entry, entry);
  }
  TempDir dir;
  ImageContext context;
  PartitionEntry entry;
};

std::vector<std::pair<uint32_t, uint32_t>> ranges(const std::vector<BlockExtent>& extents) {
  std::vector<std::pair<uint32_t, uint32_t>> r;
  for (const BlockExtent& e : extents) r.emplace_back(e.first, e.last);
  return r;
}

TEST(ReadMetadataExtents, ShortAdsRoundUpToWholeBlocks) {
  const FileEntryFields mirror{true, 1, 32, {{110, 2048}}, 0};
  MetadataRead read({false, 0, 0, {{10, 4096}, {50, 1}, {60, 2049}, {70, 0}}, 0}, &mirror, 400);
  using R = std::vector<std::pair<uint32_t, uint32_t>>;
  EXPECT_EQ(ranges(read.entry.main_extents), (R{{10, 11}, {50, 50}, {60, 61}, {70, 69}}));
  EXPECT_EQ(read.entry.main_extents.size(), 4u);
  EXPECT_EQ(ranges(read.entry.mirror_extents), (R{{110, 110}}));
}

TEST(ReadMetadataExtents, EmbeddedDataLeavesZeroEntriesAndNoMirrorLeavesAnEmptyList) {
  MetadataRead read({false, 3, 0, {}, 5}, nullptr, 0);
  EXPECT_EQ(read.entry.main_extents.size(), 5u);
  EXPECT_EQ(ranges(read.entry.main_extents), (std::vector<std::pair<uint32_t, uint32_t>>(5, {0, 0})));
  EXPECT_TRUE(read.entry.mirror_extents.empty());
}

TEST(ReadMetadataExtents, UnreadableOrUnverifiedFileEntriesLeaveTheirListEmpty) {
  MetadataRead mirror_beyond_end({false, 0, 0, {{2, 2048}}, 0}, nullptr, 5000);
  EXPECT_EQ(mirror_beyond_end.entry.main_extents.size(), 1u);
  EXPECT_TRUE(mirror_beyond_end.entry.mirror_extents.empty());
  // The mirror's File Entry at 400 records Tag Location 400, not 399.
  const FileEntryFields mirror{false, 0, 0, {{2, 2048}}, 0};
  MetadataRead wrong_location({false, 0, 0, {{2, 2048}}, 0}, &mirror, 399);
  EXPECT_TRUE(wrong_location.entry.mirror_extents.empty());
}

}  // namespace
