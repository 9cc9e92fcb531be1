// The fuzz harness's checks, run by the ordinary test suites (and so under
// the sanitizers and valgrind) over the seed corpus and the regression inputs:
// every input the fuzzer or a developer found fault with is kept in
// regressions/ and replayed here for good.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "harness.h"
#include "image_builder.h"

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

TEST(FuzzInputs, SeedCorpusHoldsEveryCheck) { expect_all_hold("corpus", 20); }

TEST(FuzzInputs, RegressionInputsHoldEveryCheck) { expect_all_hold("regressions", 0); }

// The harness runs the real tool: a plain volume's relabel rewrites its seven
// label descriptors, and the parsed image is the builder's, byte for byte.
TEST(FuzzHarness, EncodesParsesAndRunsAWholeVolume) {
  const builder::Layout layout = builder::plain_layout("Old");
  const auto input = encode_fuzz_input("New", layout.image.bytes);
  const FuzzCase parsed = parse_fuzz_input(input);
  EXPECT_EQ(parsed.label, "New");
  ASSERT_EQ(parsed.image.size, layout.image.bytes.size());
  for (uint32_t n = 0; n < builder::sector_count(layout.image); ++n) {
    const auto expected = builder::sector(layout.image, n);
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
  EXPECT_EQ(summary.relabel_status, 0);
  EXPECT_EQ(summary.relabel_writes, layout.label_sectors.size());
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
