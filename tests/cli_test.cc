// Whole runs of the built binary: the command line, the messages of each
// failure before the walk, and the exit status.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "image_builder.h"
#include "run_tool.h"

namespace {

using builder::Image;

// After the banner line, which names the processor.
constexpr const char* kUsageAfterBanner =
    "Usage:\n"
    "\tvolquill [ISO File] [Volume Label]\n"
    "\tvolquill --label [Volume Label] [ISO File]\n"
    "\tvolquill -l [ISO File]...\n\n"
    "Example:\n"
    "\t# change volume label of d:\\bd.iso to 'The Monkey'\n"
    "\tvolquill d:\\bd.iso \"The Monkey\"\n\n"
    "\t# print the volume label of d:\\bd.iso\n"
    "\tvolquill d:\\bd.iso\n\n"
    "\t# print the volume labels of d:\\bd.iso and d:\\dvd.iso\n"
    "\tvolquill -l d:\\bd.iso d:\\dvd.iso\n";

std::string usage_text() {
  return "volquill 1.0 (" + expected_processor() + ")    Built on 2025-12-13\n" + kUsageAfterBanner;
}

// The listing lines of a run ("... at block N ..."), in the order printed.
std::vector<std::string> listing(const std::string& out) {
  std::vector<std::string> lines;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    if (line.find(" at block ") != std::string::npos) lines.push_back(line);
  }
  return lines;
}

// The output without its listing lines.
std::string without_listing(const std::string& out) {
  std::string rest;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    if (line.find(" at block ") == std::string::npos) rest += line + "\n";
  }
  return rest;
}

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

TEST_F(CommandLine, OptionsThatEndTheRunBeforeAnyImage) {
  const std::string banner_line = usage_text().substr(0, usage_text().find('\n') + 1);
  struct Case {
    std::vector<std::string> args;
    std::string out;  // "" for the help text
    int status;
  };
  const std::string missing = dir.file("missing.iso");
  const Case cases[] = {
      {{"-h"}, "", 0},
      {{"--help"}, "", 0},
      {{"-v", "--help", missing}, "", 0},
      {{"-V"}, banner_line, 0},
      {{"--version", missing, "New"}, banner_line, 0},
      {{"-nV"}, banner_line, 0},
      {{"-x"}, "Unknown option: -x\n" + usage_text(), 1},
      {{"--dry"}, "Unknown option: --dry\n" + usage_text(), 1},
      {{"-nq", missing}, "Unknown option: -nq\n" + usage_text(), 1},
      {{"--help=all"}, "Unknown option: --help=all\n" + usage_text(), 1},
      {{"-h", "-x"}, "Unknown option: -x\n" + usage_text(), 1},
      // Identifier values refused before any image is opened.
      {{"--fullvsid", "W", "-u", "random", missing}, "--fullvsid sets the whole Volume Set Identifier; -u and --vsid set its parts\n", 1},
      {{"--impid=Imp", missing}, "Invalid --impid value: Imp (1 to 23 ASCII characters beginning with *)\n", 1},
      {{"--appid", "*" + std::string(23, 'a'), missing}, "Invalid --appid value: *" + std::string(23, 'a') + " (1 to 23 ASCII characters beginning with *)\n", 1},
      {{"--write-protect", "yes", missing}, usage_text(), 1},
      // Options without an image path: as without arguments.
      {{"-n", "-v"}, usage_text(), 0},
      {{"--"}, usage_text(), 0},
  };
  for (const Case& c : cases) {
    std::string name;
    for (const std::string& arg : c.args) name += arg + " ";
    const ToolResult r = run_tool(c.args);
    if (c.out.empty()) {
      EXPECT_EQ(r.out.substr(0, usage_text().size()), usage_text()) << name;
      const std::string options = r.out.substr(usage_text().size());
      for (const char* option : {"-h, --help", "-V, --version", "-n, --dry-run", "-v, --verbose", "-l, --list", "--label", "--  "}) {
        EXPECT_NE(options.find(option), std::string::npos) << name << option;
      }
    } else {
      EXPECT_EQ(r.out, c.out) << name;
    }
    EXPECT_EQ(r.status, c.status) << name;
    EXPECT_EQ(r.err, "") << name;
  }
}

TEST_F(CommandLine, OptionsAloneAndCombinedKeepTheMessagesOfEachMode) {
  const builder::Layout layout = builder::plain_layout("Old");
  const std::string plain_query = run_tool({put(layout.image, "plain.iso")}).out;
  const std::string verbose_query = run_tool({"-v", put(layout.image, "plain.iso")}).out;
  const std::string report = verbose_query.substr(verbose_query.find('\n') + 1);
  // A query with -n is the plain query, with -v (alone or combined) the
  // plain query followed by the volume's report; the image stays as it was.
  for (const std::vector<std::string>& options :
       {std::vector<std::string>{"-n"}, {"--dry-run"}, {"-v"}, {"--verbose"}, {"-nv"}, {"-v", "-n", "--"}}) {
    const std::string path = put(layout.image);
    std::vector<std::string> args = options;
    args.push_back(path);
    const ToolResult r = run_tool(args);
    const bool verbose = options[0].find('v') != std::string::npos;
    EXPECT_EQ(r.out, "Volume label of " + path + ": Old\n" + (verbose ? report : "")) << options[0];
    EXPECT_EQ(r.status, 0) << options[0];
    EXPECT_EQ(builder::read_file(path).bytes, layout.image.bytes) << options[0];
    EXPECT_EQ(r.out.substr(0, r.out.find('\n') + 1), plain_query.substr(0, 16) + path + ": Old\n");
  }
  // A verbose relabel: the same messages and sectors as without -v, besides
  // its listing lines.
  for (const std::vector<std::string>& options :
       {std::vector<std::string>{"-v"}, {"--verbose"}, {"--verbose", "--"}}) {
    const std::string path = put(layout.image);
    std::vector<std::string> args = options;
    args.insert(args.end(), {path, "New"});
    const ToolResult r = run_tool(args);
    EXPECT_EQ(without_listing(r.out), "Changing " + path + " volume label to 'New'\nDone!\n") << options[0];
    EXPECT_EQ(r.status, 0) << options[0];
    EXPECT_EQ(builder::changed_sectors(layout.image, builder::read_file(path)), layout.label_sectors);
  }
  // After the image path an option is the label.
  const std::string path = put(layout.image);
  EXPECT_EQ(run_tool({path, "-v"}).out, "Changing " + path + " volume label to '-v'\nDone!\n");
  EXPECT_EQ(run_tool({path}).out, "Volume label of " + path + ": -v\n");
}

TEST_F(CommandLine, DoubleDashLetsAPathBeginWithADash) {
  put(builder::plain_layout("Old").image, "-disc.iso");
  char* cwd = getcwd(nullptr, 0);
  ASSERT_EQ(chdir(dir.path.c_str()), 0);
  const ToolResult without = run_tool({"-disc.iso"});
  const ToolResult relabel = run_tool({"--", "-disc.iso", "New"});
  const ToolResult query = run_tool({"-n", "--", "-disc.iso"});
  const ToolResult dash = run_tool({"-"});
  EXPECT_EQ(chdir(cwd), 0);
  free(cwd);
  EXPECT_EQ(without.out, "Unknown option: -disc.iso\n" + usage_text());
  EXPECT_EQ(without.status, 1);
  EXPECT_EQ(relabel.out, "Changing -disc.iso volume label to 'New'\nDone!\n");
  EXPECT_EQ(relabel.status, 0);
  EXPECT_EQ(query.out, "Volume label of -disc.iso: New\n");
  // "-" alone is a path, not an option.
  EXPECT_EQ(dash.out, "Error opening file: -\n");
  EXPECT_EQ(dash.status, 1);
}

// Operands that would rename an image by accident are refused before any
// image is opened; --label gives any label, one that names a file included.
TEST_F(CommandLine, OperandsThatWouldRelabelByAccidentAreRefused) {
  const builder::Layout layout = builder::plain_layout("Old");
  const std::string a = put(layout.image, "a.iso");
  const std::string b = put(layout.image, "b.iso");
  const std::string too_many = "Too many arguments (-l shows the labels of several images)\n";
  const auto names_file = [](const std::string& label) {
    return "The label '" + label + "' is the name of an existing file (-l shows several images; --label sets this label)\n";
  };
  const struct {
    std::vector<std::string> args;
    std::string out;
  } cases[] = {
      {{a, b, dir.file("missing.iso")}, too_many},
      {{a, "New", "extra"}, too_many},
      {{"--label", "New", a, "New"}, too_many},
      {{a, b}, names_file(b)},
      {{"-n", a, dir.path}, names_file(dir.path)},
      {{"-u", "random", a, b}, names_file(b)},
  };
  for (const auto& c : cases) {
    const ToolResult r = run_tool(c.args);
    EXPECT_EQ(r.out + std::to_string(r.status), c.out + "1") << c.args[1];
  }
  EXPECT_EQ(builder::read_file(a).bytes, layout.image.bytes);
  EXPECT_EQ(run_tool({"--label", b, a}).out, "Changing " + a + " volume label to '" + b + "'\nDone!\n");
  EXPECT_EQ(run_tool({"--label=-v", b}).out, "Changing " + b + " volume label to '-v'\nDone!\n");
  EXPECT_EQ(run_tool({"-l", a, b}).out, "Volume label of " + a + ": " + b + "\nVolume label of " + b + ": -v\n");
}

// -l and --json over several operands: each image as its own query shows it,
// in order, a missing file, a directory and a damaged image among them; exit
// 1 when any was not shown.
TEST_F(CommandLine, ListShowsEachImageAsItsOwnQuery) {
  Image damaged = builder::plain_layout("Damaged").image;
  builder::sector(&damaged, 256)[20] ^= 1;  // the only anchor
  const std::vector<std::string> images = {put(builder::plain_layout("One").image, "one.iso"), dir.file("missing.iso"),
                                           dir.path, put(damaged, "damaged.iso"),
                                           put(builder::metadata_layout("Two").image, "two.iso")};
  const struct {
    std::vector<std::string> list;
    std::vector<std::string> single;
  } modes[] = {{{"-l"}, {}}, {{"--list"}, {}}, {{"-lv"}, {"-v"}}, {{"--json"}, {"--json"}}, {{"-l", "--json"}, {"--json"}}};
  for (const auto& mode : modes) {
    std::string expected;
    for (const std::string& image : images) {
      std::vector<std::string> single = mode.single;
      single.push_back(image);
      expected += run_tool(single).out;
    }
    std::vector<std::string> args = mode.list;
    args.insert(args.end(), images.begin(), images.end());
    const ToolResult all = run_tool(args);
    EXPECT_EQ(all.out, expected) << mode.list[0];
    EXPECT_EQ(all.status, 1) << mode.list[0];
    EXPECT_EQ(run_tool({mode.list[0], images[0], images[4]}).status, 0) << mode.list[0];
  }
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
  if (tool_is_windows_build()) GTEST_SKIP() << "the wide command line reaches the tool as valid UTF-8";
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

using DryRun = Fixture;

// Awaits the core's listing: a dry run changes neither the bytes nor the
// modification time and lists exactly the blocks that a verbose relabel of
// a copy then lists and rewrites.
TEST_F(DryRun, ListsWhatAVerboseRelabelRewritesAndWritesNothing) {
  struct Case {
    const char* name;
    builder::Layout layout;
  };
  const Case cases[] = {
      {"plain", builder::plain_layout("Old")},
      {"metadata with mirror", builder::metadata_layout("Old")},
      {"metadata, mirror in the same place", builder::metadata_layout("Old", true)},
  };
  ASSERT_FALSE(listing(run_tool({"-n", put(cases[0].layout.image), "New"}).out).empty())
      << "awaits the core's block listing";
  for (const Case& c : cases) {
    const std::string dry = put(c.layout.image, "dry.iso");
    const std::string real = put(c.layout.image, "real.iso");
    const timespec old_times[2] = {{946684800, 0}, {946684800, 0}};  // 2000-01-01
    ASSERT_EQ(utimensat(AT_FDCWD, dry.c_str(), old_times, 0), 0);

    const ToolResult listed = run_tool({"-n", dry, "New"});
    EXPECT_EQ(listed.status, 0) << c.name;
    EXPECT_EQ(builder::read_file(dry).bytes, c.layout.image.bytes) << c.name;
    struct stat after {};
    ASSERT_EQ(stat(dry.c_str(), &after), 0);
    EXPECT_EQ(after.st_mtim.tv_sec, 946684800) << c.name;
    EXPECT_EQ(after.st_mtim.tv_nsec, 0) << c.name;
    EXPECT_EQ(run_tool({dry}).out, "Volume label of " + dry + ": Old\n") << c.name;

    const ToolResult relabel = run_tool({"--verbose", real, "New"});
    EXPECT_EQ(relabel.status, 0) << c.name;
    EXPECT_EQ(listing(listed.out), listing(relabel.out)) << c.name;
    EXPECT_EQ(listing(listed.out).size(), c.layout.label_sectors.size()) << c.name;  // each copy once
    std::vector<uint32_t> listed_blocks;
    for (const std::string& line : listing(listed.out)) {
      listed_blocks.push_back(static_cast<uint32_t>(std::stoul(line.substr(line.find(" at block ") + 10))));
    }
    // The mirror's copy may share its block with the File Set Descriptor.
    std::sort(listed_blocks.begin(), listed_blocks.end());
    listed_blocks.erase(std::unique(listed_blocks.begin(), listed_blocks.end()), listed_blocks.end());
    EXPECT_EQ(listed_blocks, builder::changed_sectors(c.layout.image, builder::read_file(real))) << c.name;
  }
  // The listing line's form, in write-group order: the main sequence and
  // the File Set Descriptor, then the reserve sequence; each line ends with
  // the identifier as written, cut to 30 characters in a 32-byte field.
  const std::string path = put(builder::plain_layout("Old").image);
  const std::string label = "A Label Of Thirty-Five Characters..";
  const std::vector<std::string> lines = listing(run_tool({"-nv", path, label}).out);
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines.front(), "Primary Volume Descriptor at block 32 (main sequence): " + label.substr(0, 30));
  EXPECT_EQ(lines[3], "File Set Descriptor at block 300: " + label);
  EXPECT_EQ(lines.back(), "Logical Volume Descriptor at block 51 (reserve sequence): " + label);
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

// Faults a careful user's system produces, on a plain volume: each run's
// whole output and status, and the image left as it was. Native builds only:
// the rows run the binary under strace, flock or a shell.
TEST_F(OpenFailure, FaultsAreToldAndNothingIsWritten) {
  if (std::getenv("VOLQUILL_RUNNER") != nullptr) GTEST_SKIP() << "native builds only";
  const bool traced = system("strace -o /dev/null true >/dev/null 2>&1") == 0;
  const std::string path = dir.file("image.iso");
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // The reserve sequence's read (of block 48) fails with EIO: which pread
  // that is, a traced query tells, whatever else the process reads.
  ASSERT_TRUE(builder::write_file(path, builder::plain_layout("Old").image));
  const std::string trace = dir.file("trace");
  ToolOptions tracing;
  tracing.prefix = {"strace", "-qq", "-o", trace, "-e", "trace=pread64"};
  if (traced) run_tool({path}, tracing);
  // The read of the reserve sequence, or of the File Set Descriptor (block 300).
  const auto eio_at = [&](const std::string& offset) {
    std::ifstream lines(trace);
    size_t read = 1;
    for (std::string line; std::getline(lines, line) && line.find(", " + offset + ")") == std::string::npos;) ++read;
    // A sanitizer build's leak check cannot run under a tracer.
    const char* asan = std::getenv("ASAN_OPTIONS");
    return std::vector<std::string>{
        "env", "ASAN_OPTIONS=" + std::string(asan != nullptr ? asan : "") + ":detect_leaks=0", "strace", "-f", "-qq",
        "-o", "/dev/null", "-e", "inject=pread64:error=EIO:when=" + std::to_string(read)};
  };
  const std::vector<std::string> eio = eio_at("98304");
  const std::string changing = "Changing " + path + " volume label to 'New'\n";
  const std::string nothing = "Nothing written (--force writes the copies that verify)\n";
  const struct {
    const char* name;
    std::vector<std::string> prefix;
    std::vector<std::string> args;
    std::string out;
    int status;
    bool needs_strace;
  } rows[] = {
      {"read error, query", eio, {path}, "Error reading file: " + path + "\n", 1, true},
      {"read error, relabel", eio, {path, "New"}, changing + "Error reading file: " + path + "\n" + nothing, 1, true},
      {"read error, dry run", eio, {"-n", path, "New"}, "Error reading file: " + path + "\n" + nothing, 1, true},
      {"read error of the File Set Descriptor, relabel", eio_at("614400"), {path, "New"},
       changing + "Error reading file: " + path + "\n" + nothing, 1, true},
      {"another relabel holds the image", {"flock", path}, {path, "New"}, changing + "Image is in use: " + path + "\n",
       1, false},
      {"a query while a relabel holds it", {"flock", path}, {path}, "Volume label of " + path + ": Old\n", 0, false},
      {"a FIFO, query", {}, {fifo}, "Error opening file: " + fifo + "\n", 1, false},
      {"a FIFO, relabel", {}, {fifo, "New"},
       "Changing " + fifo + " volume label to 'New'\nError opening file for writing: " + fifo + "\n", 1, false},
      {"standard output closed", {"sh", "-c", "exec \"$@\" >&-", "sh"}, {"-v", path}, "", 0, false},
      {"standard output full", {"sh", "-c", "exec \"$@\" >/dev/full", "sh"}, {path}, "", 1, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.needs_strace && !traced) continue;
    const Image image = builder::plain_layout("Old").image;
    ASSERT_TRUE(builder::write_file(path, image));
    ToolOptions options;
    options.prefix = row.prefix;
    const ToolResult r = run_tool(row.args, options);
    EXPECT_EQ(r.out, row.out);
    EXPECT_EQ(r.status, row.status);
    EXPECT_TRUE(builder::read_file(path).bytes == image.bytes) << "the image changed";
  }
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
    // Without UDF at a stride of 2048: the message, which names the anchor
    // when a wider stride (4096: sectors 16, 18, ...) finds NSR after all.
    const char* failure = "UDF file system not found in: ";
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
       false, "UDF anchor not found in: "},
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
      EXPECT_EQ(r.out, c.failure + path + "\n") << c.name;
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
  // Writes below sector 40 succeed; the File Set Descriptor (300, written
  // with the main sequence) and the reserve sequence (48-51) lie beyond the
  // limit.
  ToolOptions options;
  options.file_size_limit = 40 * 2048;
  const ToolResult r = run_tool({path, "New"}, options);
  // The first failed write ends the writing: the reserve sequence is kept.
  EXPECT_EQ(r.out, "Changing " + path + " volume label to 'New'\n"
                   "fwrite to sector 300 failed, result=0!\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(builder::changed_sectors(layout.image, builder::read_file(path)),
            (std::vector<uint32_t>{32, 33, 35}));
}

}  // namespace

namespace {

using Report = Fixture;

// The identity a builder volume labelled `label` shows, as -v lines and as
// the record's keys.
std::string identity_lines(const std::string& label, const std::string& serial) {
  return "Volume Identifier: " + label + "\nLogical Volume Identifier: " + label + "\nFile Set Identifier: " + label +
         "\nVolume Set Identifier: Builder Volume Set\nOwner: LVInfo1\nOrganization: LVInfo2\nContact: LVInfo3\n"
         "Application: \nImplementation: \nWindows serial number: " + serial +
         "\nAccess: readonly\nIntegrity: unknown\nWrite protection: none\nUDF revisions: read 0.00, write 0.00\n";
}
std::string identity_keys(const std::string& label, const std::string& serial) {
  return R"("volume_identifier": ")" + label + R"(", "logical_volume_identifier": ")" + label +
         R"(", "file_set_identifier": ")" + label + R"(", "volume_set_identifier": "Builder Volume Set", )"
         R"("owner": "LVInfo1", "organization": "LVInfo2", "contact": "LVInfo3", "application_identifier": "", )"
         R"("implementation_identifier": "", "windows_serial_number": ")" + serial + R"(", "access_type": "readonly", )"
         R"("integrity": "unknown", "write_protect": {"soft": false, "hard": false}, "udf_read_revision": "0.00", )"
         R"("udf_write_revision": "0.00", )";
}

// A query's -v and --json output, whole: a physical volume, and a metadata
// volume whose reserve Primary Volume Descriptor is damaged.
TEST_F(Report, VerboseAndJsonQueriesShowEveryCopy) {
  Image metadata = builder::metadata_layout("Meta").image;
  builder::sector(&metadata, 48)[100] ^= 1;
  const struct {
    Image image;
    std::string verbose;  // after the label line
    std::string json;     // after "path"
  } volumes[] = {
      {builder::plain_layout("Old").image,
       "Old\nUDF unknown, 2048-byte blocks, partitions: physical\nUUID: 4275696c64657220\n" +
       identity_lines("Old", "1055-D1E4") +
       "Primary Volume Descriptor at block 32 (main sequence): Old\n"
       "Implementation Use Volume Descriptor at block 33 (main sequence): Old\n"
       "Logical Volume Descriptor at block 35 (main sequence): Old\n"
       "Primary Volume Descriptor at block 48 (reserve sequence): Old\n"
       "Implementation Use Volume Descriptor at block 49 (reserve sequence): Old\n"
       "Logical Volume Descriptor at block 51 (reserve sequence): Old\n"
       "File Set Descriptor at block 300: Old\n",
       R"("label": "Old", "uuid": "4275696c64657220", "udf_revision": null, "block_size": 2048, "partitions": ["physical"], )" +
           identity_keys("Old", "1055-D1E4") +
       R"("copies": [{"descriptor": "Primary Volume Descriptor", "block": 32, "where": "main sequence", "identifier": "Old", "verified": true}, )"
       R"({"descriptor": "Implementation Use Volume Descriptor", "block": 33, "where": "main sequence", "identifier": "Old", "verified": true}, )"
       R"({"descriptor": "Logical Volume Descriptor", "block": 35, "where": "main sequence", "identifier": "Old", "verified": true}, )"
       R"({"descriptor": "Primary Volume Descriptor", "block": 48, "where": "reserve sequence", "identifier": "Old", "verified": true}, )"
       R"({"descriptor": "Implementation Use Volume Descriptor", "block": 49, "where": "reserve sequence", "identifier": "Old", "verified": true}, )"
       R"({"descriptor": "Logical Volume Descriptor", "block": 51, "where": "reserve sequence", "identifier": "Old", "verified": true}, )"
       R"({"descriptor": "File Set Descriptor", "block": 300, "where": null, "identifier": "Old", "verified": true, "file_set_identifier": "Old"}]})"},
      {metadata,
       "Meta\nUDF unknown, 2048-byte blocks, partitions: physical, metadata\nUUID: 4275696c64657220\n" +
       identity_lines("Meta", "3247-4DDC") +
       "Primary Volume Descriptor at block 32 (main sequence): Meta\n"
       "Implementation Use Volume Descriptor at block 33 (main sequence): Meta\n"
       "Logical Volume Descriptor at block 35 (main sequence): Meta\n"
       "Primary Volume Descriptor at block 48 (reserve sequence): damaged\n"
       "Implementation Use Volume Descriptor at block 49 (reserve sequence): Meta\n"
       "Logical Volume Descriptor at block 51 (reserve sequence): Meta\n"
       "File Set Descriptor at block 302: Meta\n"
       "File Set Descriptor at block 410 (metadata mirror): Meta\n",
       R"("label": "Meta", "uuid": "4275696c64657220", "udf_revision": null, "block_size": 2048, "partitions": ["physical", "metadata"], )" +
           identity_keys("Meta", "3247-4DDC") +
       R"("copies": [{"descriptor": "Primary Volume Descriptor", "block": 32, "where": "main sequence", "identifier": "Meta", "verified": true}, )"
       R"({"descriptor": "Implementation Use Volume Descriptor", "block": 33, "where": "main sequence", "identifier": "Meta", "verified": true}, )"
       R"({"descriptor": "Logical Volume Descriptor", "block": 35, "where": "main sequence", "identifier": "Meta", "verified": true}, )"
       R"({"descriptor": "Primary Volume Descriptor", "block": 48, "where": "reserve sequence", "identifier": null, "verified": false}, )"
       R"({"descriptor": "Implementation Use Volume Descriptor", "block": 49, "where": "reserve sequence", "identifier": "Meta", "verified": true}, )"
       R"({"descriptor": "Logical Volume Descriptor", "block": 51, "where": "reserve sequence", "identifier": "Meta", "verified": true}, )"
       R"({"descriptor": "File Set Descriptor", "block": 302, "where": null, "identifier": "Meta", "verified": true, "file_set_identifier": "Meta"}, )"
       R"({"descriptor": "File Set Descriptor", "block": 410, "where": "metadata mirror", "identifier": "Meta", "verified": true, "file_set_identifier": "Meta"}]})"},
  };
  for (const auto& v : volumes) {
    const std::string path = put(v.image);
    EXPECT_EQ(run_tool({"-v", path}).out, "Volume label of " + path + ": " + v.verbose);
    EXPECT_EQ(run_tool({"--json", path}).out, "{\"path\": \"" + path + "\", " + v.json + "\n");
  }
  // Errors as records; --json with a change is refused before the image is opened.
  const std::string missing = dir.file("missing.iso");
  EXPECT_EQ(run_tool({"--json", missing}).out, "{\"path\": \"" + missing + "\", \"error\": \"Error opening file: " + missing + "\"}\n");
  for (const std::vector<std::string>& args : {std::vector<std::string>{"--json", "--label", "New", missing}, {"--json", "-u", "random", missing}, {"-l", "--label=New", missing, missing}}) {
    const ToolResult r = run_tool(args);
    const std::string refusal = args[0] == "-l" ? usage_text() : "--json shows a volume and changes nothing\n";
    EXPECT_EQ(r.out + std::to_string(r.status), refusal + "1");
  }
}

}  // namespace
