// The fuzz harness's checks, run by the ordinary test suites (and so under
// the sanitizers and valgrind) over the seed corpus and the regression inputs:
// every input the fuzzer or a developer found fault with is kept in
// regressions/ and replayed here for good.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "app/tool.h"
#include "harness.h"
#include "image_builder.h"
#include "seed_volumes.h"

namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> read_all(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<fs::path> inputs_in(const char* directory) {
  std::vector<fs::path> paths;
  const fs::path dir = fs::path(VOLQUILL_FUZZ_INPUTS) / directory;
  for (const auto& entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (entry.is_regular_file() && name[0] != '.' && entry.path().extension() != ".md") {
      paths.push_back(entry.path());
    }
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

void expect_all_hold(const char* directory, size_t at_least) {
  const auto paths = inputs_in(directory);
  EXPECT_GE(paths.size(), at_least);
  for (const fs::path& path : paths) {
    const auto input = read_all(path);
    EXPECT_EQ(check_fuzz_input(input), "") << path;
  }
}

TEST(FuzzInputs, SeedCorpusHoldsEveryCheck) { expect_all_hold("corpus", 27); }

TEST(FuzzInputs, RegressionInputsHoldEveryCheck) { expect_all_hold("regressions", 0); }

// The harness runs the real tool: a plain volume's relabel rewrites its seven
// label descriptors, and the parsed image is the builder's, byte for byte.
TEST(FuzzHarness, EncodesParsesAndRunsAWholeVolume) {
  const builder::Layout layout = builder::plain_layout("Old");
  const builder::Image image = seeds::plain_volume("Old");
  const auto input = encode_fuzz_input("New", image.bytes);
  const FuzzCase parsed = parse_fuzz_input(input);
  EXPECT_EQ(parsed.label, "New");
  ASSERT_EQ(parsed.image.size, image.bytes.size());
  for (uint32_t n = 0; n < builder::sector_count(image); ++n) {
    const auto expected = builder::sector(image, n);
    const auto found = parsed.image.sectors.find(n);
    const bool all_zero = std::all_of(expected.begin(), expected.end(), [](uint8_t b) { return b == 0; });
    ASSERT_EQ(found == parsed.image.sectors.end(), all_zero) << "sector " << n;
    if (!all_zero) {
      EXPECT_TRUE(std::equal(expected.begin(), expected.end(), found->second.begin())) << "sector " << n;
    }
  }

  FuzzRunSummary summary;
  EXPECT_EQ(check_fuzz_input(input, &summary), "");
  EXPECT_EQ(summary.query_status, 0);
  EXPECT_EQ(summary.dry_run_status, 0);
  EXPECT_EQ(summary.relabel_status, 0);
  EXPECT_EQ(summary.relabel_writes, layout.label_sectors.size());
}

// What the seeds of each volume kind lead to: the block size the relabel
// writes in, how many blocks it writes, and its exit status.
TEST(FuzzHarness, SeedsOfEachVolumeKind) {
  struct Case {
    const char* seed;
    uint32_t block_size;
    size_t writes;
    int status;
  };
  const Case cases[] = {
      {"plain-512", 512, 7, 0},
      {"plain-4096", 4096, 7, 0},
      {"metadata-512", 512, 8, 0},
      {"metadata-4096", 4096, 8, 0},
      {"sparable-table", 2048, 7, 0},
      {"sparable-damaged-first-table", 2048, 7, 0},
      {"virtual-vat-embedded", 2048, 8, 0},
      {"virtual-vat-data-block", 2048, 8, 0},
      {"virtual-partition", 2048, 6, 1},  // no VAT: File Set Descriptor not found
      {"hostile-crc-length-0xffff", 2048, 7, 0},  // damaged main Primary Volume Descriptor, mended
  };
  for (const Case& c : cases) {
    const auto input = read_all(fs::path(VOLQUILL_FUZZ_INPUTS) / "corpus" / c.seed);
    FuzzRunSummary summary;
    EXPECT_EQ(check_fuzz_input(input, &summary), "") << c.seed;
    EXPECT_EQ(summary.query_status, 0) << c.seed;
    EXPECT_EQ(summary.block_size, c.block_size) << c.seed;
    EXPECT_EQ(summary.relabel_writes, c.writes) << c.seed;
    EXPECT_EQ(summary.relabel_status, c.status) << c.seed;
  }
}

// The sparable volume's stale File Set Descriptor copy at the partition's
// block 0 verifies, so the harness would allow its write; the tool must not
// make it, since the sparing table moved that packet.
TEST(FuzzHarness, SparedPacketLeavesItsStaleCopy) {
  builder::Image sparable = seeds::sparable_volume("Old");
  MemoryImage image = parse_fuzz_input(encode_fuzz_input("New", sparable.bytes)).image;
  served_image() = image;
  std::string program = "volquill", path = "image.iso", label = "New";
  char* argv[] = {program.data(), path.data(), label.data(), nullptr};
  EXPECT_EQ(run_command_line(3, argv), 0);
  for (const MemoryWrite& write : served_image().writes) EXPECT_NE(write.offset, 300u * 2048);
  served_image() = MemoryImage{};
}

// A Virtual Allocation Table behind a zero tail written as data (no hole)
// one block short of 64 MiB: the search reads it all, in chunks that stop
// growing at 1 MiB, and finds the table.
TEST(FuzzHarness, VatBehindADenseZeroTailIsFound) {
  const builder::Layout layout = builder::virtual_layout("Old", builder::VatForm::Embedded200);
  served_image() = parse_fuzz_input(encode_fuzz_input("New", layout.image.bytes)).image;
  MemoryImage& image = served_image();
  const uint64_t first = image.size / kMemorySectorSize;
  const uint64_t zero_sectors = (uint64_t{64} << 20) / kMemorySectorSize - 1;
  for (uint64_t n = 0; n < zero_sectors; ++n) image.sectors[first + n].fill(0);
  image.size += zero_sectors * kMemorySectorSize;
  std::string program = "volquill", path = "image.iso", label = "New";
  char* argv[] = {program.data(), path.data(), label.data(), nullptr};
  EXPECT_EQ(run_command_line(3, argv), 0);
  served_image() = MemoryImage{};
}

// Short and odd inputs: fields past the end read as zeros, the image size
// keeps its partial sector, and a refused label never opens the image.
TEST(FuzzHarness, ShortInputsAndPartialSectors) {
  EXPECT_EQ(parse_fuzz_input({}).image.size, 0u);
  const std::vector<uint8_t> sized = {0, 3, 0, 0, 0, 0x10, 0};
  EXPECT_EQ(parse_fuzz_input(sized).image.size, 3u * 2048 + 16);
  const std::vector<uint8_t> record = {0, 1, 0, 0, 0, 0, 0, 7, 0, 0, 0, 0xFF, 0xFF, 0xAB};
  const FuzzCase c = parse_fuzz_input(record);
  ASSERT_EQ(c.image.sectors.count(7), 1u);
  EXPECT_EQ(c.image.sectors.at(7)[0], 0xAB);
  EXPECT_EQ(c.image.sectors.at(7)[1], 0);

  FuzzRunSummary summary;
  const std::vector<uint8_t> refused = {1, 0xFF};
  EXPECT_EQ(check_fuzz_input(refused, &summary), "");
  EXPECT_EQ(summary.query_status, 1);  // no UDF in an empty image
  EXPECT_EQ(summary.relabel_status, 1);
}

}  // namespace
