// Whole runs that check how labels outside ASCII travel: from the command
// line into the d-strings and from the File Set Descriptor into the label
// line, byte for byte, on Linux (UTF-8) and on Windows (wide command line in,
// UTF-16 text out), with image paths outside ASCII as well.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "image_builder.h"
#include "run_tool.h"

namespace {

constexpr uint32_t kFsdSector = 300;  // plain_layout's File Set Descriptor
constexpr size_t kFsdLogicalVolumeIdentifier = 112;

std::string repeat(const std::string& text, size_t times) {
  std::string out;
  for (size_t i = 0; i < times; ++i) out += text;
  return out;
}

// What a query run writes for the label line, before any normalisation.
std::string raw_label_line(const std::string& path, const std::u16string& label) {
  if (!tool_is_windows_build()) {
    std::string line = "Volume label of " + path + ": ";
    for (char16_t unit : label) {
      // Test labels stay in the Basic Multilingual Plane.
      if (unit < 0x80) {
        line += static_cast<char>(unit);
      } else if (unit < 0x800) {
        line += static_cast<char>(0xC0 | (unit >> 6));
        line += static_cast<char>(0x80 | (unit & 0x3F));
      } else {
        line += static_cast<char>(0xE0 | (unit >> 12));
        line += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
        line += static_cast<char>(0x80 | (unit & 0x3F));
      }
    }
    return line + "\n";
  }
  // The UTF-8 path in UTF-16; text mode turns "\n" into "\r\n".
  const std::u16string units = u"Volume label of " + utf16_of(path) + u": " + label + u"\r\n";
  std::string bytes;
  for (char16_t unit : units) {
    bytes += static_cast<char>(unit & 0xFF);
    bytes += static_cast<char>(unit >> 8);
  }
  return bytes;
}

// The "label=" line udfinfo (udftools) prints for the image, UTF-8, or ""
// when udfinfo is not installed.
std::string udfinfo_label(const std::string& path) {
  if (access("/usr/bin/udfinfo", X_OK) != 0) return "";
  const std::string command = "LC_ALL=C.UTF-8 /usr/bin/udfinfo '" + path + "' 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return "";
  std::string out;
  char chunk[4096];
  for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) out.append(chunk, n);
  pclose(pipe);
  const size_t start = out.find("\nlabel=");
  if (start == std::string::npos) return "no label line";
  return out.substr(start + 1, out.find('\n', start + 1) - start - 1);
}

struct LabelCase {
  const char* argument;     // UTF-8, as a user types it
  std::u16string expected;  // the label read back, after the d-string limits
  std::string fsd_field;    // the File Set Descriptor's Logical Volume Identifier
  const char* file_name = "disc.iso";
};

class LabelRoundTrip : public ::testing::TestWithParam<LabelCase> {};

TEST_P(LabelRoundTrip, RelabelThenQueryGivesTheLabelBack) {
  const LabelCase& c = GetParam();
  TempDir dir;
  const std::string image = dir.file(c.file_name);
  ASSERT_TRUE(builder::write_file(image, builder::plain_layout("Old").image));

  const ToolResult relabel = run_tool({image, c.argument});
  EXPECT_EQ(relabel.status, 0) << relabel.out;
  EXPECT_EQ(relabel.out, as_narrow_output("Changing " + image + " volume label to '" + c.argument +
                                          "'\nDone!\n"));

  const builder::Image after = builder::read_file(image);
  const auto fsd = builder::sector(after, kFsdSector);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(fsd.data()) + kFsdLogicalVolumeIdentifier, 128),
            c.fsd_field);
  EXPECT_TRUE(builder::tag_is_valid(fsd));

  const ToolResult query = run_tool({image});
  EXPECT_EQ(query.status, 0);
  EXPECT_EQ(query.raw_out, raw_label_line(image, c.expected));
  EXPECT_TRUE(query.err.empty()) << query.err;
  // An independent reader finds the same label in the Logical Volume Descriptor.
  const std::string read_back = udfinfo_label(image);
  const std::string query_prefix = "Volume label of " + image + ": ";
  if (!read_back.empty() && query.out.size() > query_prefix.size()) {
    const std::string label = query.out.substr(query_prefix.size());
    EXPECT_EQ(read_back + "\n", "label=" + label);
  }
}

const std::string kLongLatin = repeat("\xC3\xA9", 200);   // 200 x U+00E9
const std::string kLongEuro = repeat("\xE2\x82\xAC", 200);  // 200 x U+20AC

INSTANTIATE_TEST_SUITE_P(
    Labels, LabelRoundTrip,
    ::testing::Values(
        // Latin-1 characters stay in the 8-bit form.
        LabelCase{"Caf\xC3\xA9 \xC3\x91o\xC3\xB1o", u"Caf\u00E9 \u00D1o\u00F1o",
                  builder::dstring8("Caf\xE9 \xD1o\xF1o", 128)},
        // One character above U+00FF makes the whole label 16-bit.
        LabelCase{"Caf\xC3\xA9 \xE2\x82\xAC", u"Caf\u00E9 \u20AC",
                  builder::dstring16(u"Caf\u00E9 \u20AC", 128)},
        // Outside Windows-1252, in an image whose path is too: on Windows
        // both come whole from the wide command line.
        LabelCase{"\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E", u"\u65E5\u672C\u8A9E",
                  builder::dstring16(u"\u65E5\u672C\u8A9E", 128),
                  "B\xC3\xBC" "cher-\xE6\x97\xA5\xE6\x9C\xAC.iso"},
        LabelCase{"Caf\xC3\xA9", u"Caf\u00E9", builder::dstring8("Caf\xE9", 128),
                  "\xCE\xB1\xCE\xB2\xCE\xB3 \xC3\xA9t\xC3\xA9.iso"},
        // Longer than the 128-unit conversion buffer: the first 126
        // characters in 8-bit form, the first 63 in 16-bit form.
        LabelCase{kLongLatin.c_str(), std::u16string(126, u'\u00E9'),
                  builder::dstring8(std::string(126, '\xE9'), 128)},
        LabelCase{kLongEuro.c_str(), std::u16string(63, u'\u20AC'),
                  builder::dstring16(std::u16string(63, u'\u20AC'), 128)}));

TEST(LabelLine, EmptyLabelEndsAfterTheColon) {
  TempDir dir;
  const std::string image = dir.file("disc.iso");
  ASSERT_TRUE(builder::write_file(image, builder::plain_layout("").image));
  const ToolResult query = run_tool({image});
  EXPECT_EQ(query.status, 0);
  EXPECT_EQ(query.raw_out, raw_label_line(image, u""));
}

}  // namespace
