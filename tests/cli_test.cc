// Whole runs of the built binary: the command line, the messages of each
// failure before the walk, and the exit status.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "image_builder.h"
#include "run_tool.h"

namespace {

using builder::Image;

// After the banner line, which names the processor.
constexpr const char* kUsageAfterBanner =
    "Usage:\n"
    "\tvolquill [ISO File] [Volume Label]\n\n"
    "Example:\n"
    "\t# change volume label of d:\\bd.iso to 'The Monkey'\n"
    "\tvolquill d:\\bd.iso \"The Monkey\"\n\n"
    "\t# print the volume label of d:\\bd.iso\n"
    "\tvolquill d:\\bd.iso\n";

struct Fixture : testing::Test {
  std::string put(const Image& image, const std::string& name = "image.iso") {
    const std::string path = dir.file(name);
    EXPECT_TRUE(builder::write_file(path, image));
    return path;
  }
  TempDir dir;
};

using CommandLine = Fixture;

TEST_F(CommandLine, NoArgumentPrintsTheUsageAndSucceeds) {
  const ToolResult r = run_tool({});
  EXPECT_EQ(r.out, "volquill 1.0 (" + expected_processor() + ")    Built on 2025-12-13\n" +
                       kUsageAfterBanner);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
}

TEST_F(CommandLine, ArgumentsAfterTheLabelAreIgnored) {
  const builder::Layout layout = builder::plain_layout("Old");
  const std::string two = put(layout.image, "two.iso");
  const std::string three = put(layout.image, "three.iso");
  const ToolResult with_two = run_tool({two, "New"});
  const ToolResult with_three = run_tool({three, "New", "extra", "more"});
  EXPECT_EQ(with_three.status, 0);
  EXPECT_EQ(with_three.out, "Changing " + three + " volume label to 'New'\nDone!\n");
  EXPECT_EQ(builder::read_file(two).bytes, builder::read_file(three).bytes);
}

TEST_F(CommandLine, EmptyLabelRelabelsToEmptyDstrings) {
  const std::string path = put(builder::plain_layout("Old").image);
  const ToolResult r = run_tool({path, ""});
  EXPECT_EQ(r.out, "Changing " + path + " volume label to ''\nDone!\n");
  EXPECT_EQ(r.status, 0);
  const Image after = builder::read_file(path);
  const auto fsd = builder::sector(after, 300);
  EXPECT_EQ(std::string(fsd.begin() + 112, fsd.begin() + 240), std::string(128, '\0'));
  EXPECT_EQ(std::string(fsd.begin() + 304, fsd.begin() + 336), std::string(32, '\0'));
  EXPECT_EQ(run_tool({path}).out, "Volume label of " + path + ": \n");
}

TEST_F(CommandLine, LabelThatIsNotUtf8IsRefusedBeforeTheImageIsOpened) {
  if (tool_is_windows_build()) GTEST_SKIP() << "the ANSI code page decodes every argument";
  const std::string path = put(builder::plain_layout("Old").image);
  const Image before = builder::read_file(path);
  const ToolResult r = run_tool({path, "bad\xFFlabel"});
  EXPECT_EQ(r.out, "Label is not valid UTF-8\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(builder::read_file(path).bytes, before.bytes);
  // Not even an open is attempted: no open message for a missing file.
  EXPECT_EQ(run_tool({dir.file("missing.iso"), "\xC0\x80"}).out, "Label is not valid UTF-8\n");
}

TEST_F(CommandLine, HugeLabelArgumentIsCutTo126Characters) {
  const std::string path = put(builder::plain_layout("Old").image);
  // A Windows command line holds at most 32767 characters.
  const std::string label(tool_is_windows_build() ? 32000 : 100000, 'L');
  const ToolResult r = run_tool({path, label});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(run_tool({path}).out, "Volume label of " + path + ": " + std::string(126, 'L') + "\n");
}

using OpenFailure = Fixture;

TEST_F(OpenFailure, EachModeHasItsMessageAndStatusOne) {
  const std::string missing = dir.file("missing.iso");
  ToolResult r = run_tool({missing});
  EXPECT_EQ(r.out, "Error opening file: " + missing + "\n");
  EXPECT_EQ(r.status, 1);

  r = run_tool({missing, "New"});
  EXPECT_EQ(r.out, "Changing " + missing + " volume label to 'New'\nError opening file for writing: " +
                       missing + "\n");
  EXPECT_EQ(r.status, 1);

  // A directory opens for reading but not for writing, even for root.
  r = run_tool({dir.path, "New"});
  EXPECT_EQ(r.out, "Changing " + dir.path + " volume label to 'New'\nError opening file for writing: " +
                       dir.path + "\n");
  EXPECT_EQ(r.status, 1);
}

using Recognition = Fixture;

// An image of 400 sectors with a plain volume but the given recognition sequence.
Image with_vrs(std::initializer_list<std::string_view> identifiers) {
  Image image = builder::plain_layout("Label").image;
  for (uint32_t n = 16; n < 26; ++n) {
    auto s = builder::sector(&image, n);
    std::fill(s.begin(), s.end(), uint8_t{0});
  }
  builder::write_vrs(&image, identifiers);
  return image;
}

TEST_F(Recognition, NeedsAnNsrDescriptorBeforeTheFirstEmptySector) {
  struct Case {
    const char* name;
    Image image;
    bool udf;
  };
  const Case cases[] = {
      {"iso9660 only", with_vrs({"CD001", "CD001"}), false},
      {"nsr02", with_vrs({"BEA01", "NSR02", "TEA01"}), true},
      {"nsr02 and nsr03", with_vrs({"BEA01", "NSR02", "NSR03", "TEA01"}), true},
      {"empty sector at 18 hides 19", with_vrs({"BEA01", "CD001", "", "NSR03"}), false},
      {"ten descriptors, nsr in the last",
       with_vrs({"CD001", "CD001", "CD001", "BEA01", "BOOT2", "CDW02", "CD001", "CD001", "CD001", "NSR03"}),
       true},
      {"nsr in the eleventh sector",
       with_vrs({"CD001", "CD001", "CD001", "BEA01", "BOOT2", "CDW02", "CD001", "CD001", "CD001", "CD001",
                 "NSR03"}),
       false},
  };
  for (const Case& c : cases) {
    Image image = c.image;
    if (std::string_view(c.name) == "empty sector at 18 hides 19") {
      builder::sector(&image, 18)[6] = 0;  // Structure Version 0: an empty sector
    }
    const std::string path = put(image);
    const ToolResult r = run_tool({path});
    if (c.udf) {
      EXPECT_EQ(r.out, "Volume label of " + path + ": Label\n") << c.name;
      EXPECT_EQ(r.status, 0) << c.name;
    } else {
      EXPECT_EQ(r.out, "UDF file system not found in: " + path + "\n") << c.name;
      EXPECT_EQ(r.status, 1) << c.name;
    }
  }
}

TEST_F(Recognition, ShortImagesFailTheScanOrTheAnchor) {
  Image image = builder::plain_layout("Label").image;
  image.bytes.resize(25 * 2048);
  std::string path = put(image, "25.iso");
  EXPECT_EQ(run_tool({path}).out, "UDF file system not found in: " + path + "\n");

  image = builder::plain_layout("Label").image;
  image.bytes.resize(256 * 2048 + 2047);  // sector 256 is not whole
  path = put(image, "256.iso");
  ToolResult r = run_tool({path, "New"});
  EXPECT_EQ(r.out, "Changing " + path + " volume label to 'New'\nFailed to read ADVP!\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(builder::read_file(path).bytes, image.bytes);
}

using Writing = Fixture;

TEST_F(Writing, QueryOfAReadOnlyFileLeavesItUnchanged) {
  const Image image = builder::metadata_layout("Read Only").image;
  const std::string path = put(image);
  ASSERT_EQ(chmod(path.c_str(), 0444), 0);
  const ToolResult r = run_tool({path});
  EXPECT_EQ(r.out, "Volume label of " + path + ": Read Only\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(builder::read_file(path).bytes, image.bytes);
}

TEST_F(Writing, FailedWritesAreReportedAndEndWithStatusOne) {
  const builder::Layout layout = builder::plain_layout("Old");
  const std::string path = put(layout.image);
  // Writes below sector 40 succeed; the reserve sequence (48-51) and the
  // File Set Descriptor (300) lie beyond the limit.
  ToolOptions options;
  options.file_size_limit = 40 * 2048;
  const ToolResult r = run_tool({path, "New"}, options);
  EXPECT_EQ(r.out, "Changing " + path + " volume label to 'New'\n"
                   "fwrite to sector 48 failed, result=0!\n"
                   "fwrite to sector 49 failed, result=0!\n"
                   "fwrite to sector 51 failed, result=0!\n"
                   "fwrite to sector 300 failed, result=0!\n"
                   "Done!\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(builder::changed_sectors(layout.image, builder::read_file(path)),
            (std::vector<uint32_t>{32, 33, 35}));
}

}  // namespace
