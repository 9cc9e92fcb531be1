// Whole-block reads and writes on a real file, 2048-byte blocks.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "app/messages.h"
#include "image/context.h"
#include "image_builder.h"
#include "run_tool.h"

namespace {

// An image of `sectors` sectors, sector n filled with the byte n + 1.
struct OpenImage {
  explicit OpenImage(uint32_t sectors, bool writable = false) {
    builder::Image image = builder::blank_image(sectors);
    for (uint32_t n = 0; n < sectors; ++n) {
      auto s = builder::sector(&image, n);
      std::fill(s.begin(), s.end(), static_cast<uint8_t>(n + 1));
    }
    path = dir.file("image.iso");
    builder::write_file(path, image);
    opened = stream_open(&ctx.file, path.c_str(), writable);
  }
  TempDir dir;
  std::string path;
  ImageContext ctx;
  bool opened = false;
};

TEST(ReadSectors, CountsWholeSectorsAndStopsAtTheEnd) {
  OpenImage image(10);
  ASSERT_TRUE(image.opened);
  std::vector<uint8_t> dest(16 * 2048);
  EXPECT_EQ(read_sectors(&image.ctx, 3, 10, dest), 7u);  // sectors 3-9 exist
  EXPECT_EQ(dest[0], 4);
  EXPECT_EQ(dest[6 * 2048], 10);
  EXPECT_EQ(read_sectors(&image.ctx, 10, 1, dest), 0u);  // starts at the end
  EXPECT_EQ(read_sectors(&image.ctx, 4000, 16, dest), 0u);
  // Never more than the destination holds.
  EXPECT_EQ(read_sectors(&image.ctx, 0, 10, std::span<uint8_t>(dest).first(2 * 2048 + 5)), 2u);
}

TEST(ReadSectors, AHalfSectorAtTheEndIsNotCounted) {
  OpenImage image(3);
  ASSERT_EQ(truncate(image.path.c_str(), 2 * 2048 + 1000), 0);
  std::vector<uint8_t> dest(4 * 2048);
  EXPECT_EQ(read_sectors(&image.ctx, 0, 4, dest), 2u);
}

TEST(WriteSector, ReachesTheLastSectorNumberAt64BitOffset) {
  OpenImage image(1, true);
  ASSERT_TRUE(image.opened);
  std::array<uint8_t, 2048> marker{};
  marker.fill(0x5C);
  EXPECT_TRUE(write_sector(&image.ctx, 0xFFFFFFFFu, marker).ok());

  struct stat info {};
  ASSERT_EQ(stat(image.path.c_str(), &info), 0);
  EXPECT_EQ(static_cast<uint64_t>(info.st_size), uint64_t{1} << 43);  // 2^43 = (2^32 - 1) * 2048 + 2048
  std::array<uint8_t, 2048> back{};
  EXPECT_EQ(read_sectors(&image.ctx, 0xFFFFFFFFu, 16, back), 1u);  // nothing beyond it is read
  EXPECT_EQ(back, marker);
  ASSERT_EQ(truncate(image.path.c_str(), 0), 0);  // give the space back at once
}

TEST(WriteSector, AFailedWriteIsReported) {
  OpenImage image(2, false);  // read-only stream: every write fails
  ASSERT_TRUE(image.opened);
  std::array<uint8_t, 2048> data{};
  const WriteOutcome outcome = write_sector(&image.ctx, 1, data);
  EXPECT_FALSE(outcome.ok());
  EXPECT_EQ(write_failure_message(1, outcome), "fwrite to sector 1 failed, result=0!");
}

}  // namespace
