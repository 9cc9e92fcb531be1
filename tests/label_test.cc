// The new label as d-strings, the UTF-8 decoding of the argument, the
// UTF-8 encoding of the captured label and the --uuid argument.
#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include "ecma167/dstring.h"
#include "image/utf.h"
#include "udf/volume_id.h"

namespace {

struct Encoded {
  bool ok;
  std::array<uint8_t, 32> id32;
  std::array<uint8_t, 128> id128;
  bool query_mode;
};

// A label that cannot be encoded leaves the run without a new label: a query.
Encoded encode(const std::string& label) {
  const auto d = encode_label(label.c_str());
  const LabelDStrings none;
  return Encoded{d.has_value(), d.value_or(none).id32, d.value_or(none).id128, !d};
}

// The 8-bit d-string a reader expects for ASCII `text` in a field of N bytes.
template <size_t N>
std::array<uint8_t, N> dstring8(const std::string& text) {
  std::array<uint8_t, N> d{};
  d[0] = 8;
  std::copy(text.begin(), text.end(), d.begin() + 1);
  d[N - 1] = static_cast<uint8_t>(text.size() + 1);
  return d;
}

// Characters 1.. of a 16-bit d-string as UTF-16 units.
std::u16string units16(std::span<const uint8_t> d) {
  std::u16string s;
  const size_t n = d.back() == 0 ? 0 : (d.back() - 1u) / 2;
  for (size_t k = 0; k < n; ++k) s.push_back(static_cast<char16_t>((d[1 + 2 * k] << 8) | d[2 + 2 * k]));
  return s;
}

std::string ascii(size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s.push_back(static_cast<char>('A' + i % 26));
  return s;
}

TEST(SetNewLabel, EightBitFormsAndTheirCuts) {
  const Encoded monkey = encode("The Monkey");
  EXPECT_EQ(monkey.id32, dstring8<32>("The Monkey"));
  EXPECT_EQ(monkey.id128, dstring8<128>("The Monkey"));
  EXPECT_EQ(monkey.id32[31], 11);
  EXPECT_FALSE(monkey.query_mode);

  const Encoded forty = encode(ascii(40));
  EXPECT_EQ(forty.id32, dstring8<32>(ascii(30)));
  EXPECT_EQ(forty.id128, dstring8<128>(ascii(40)));

  const Encoded long_label = encode(ascii(127));
  EXPECT_EQ(long_label.id128, dstring8<128>(ascii(126)));
  EXPECT_EQ(long_label.id128[127], 127);

  // Latin-1 characters stay in the 8-bit form, one byte each.
  const Encoded latin = encode("Caf\xC3\xA9");
  EXPECT_EQ(latin.id32[0], 8);
  EXPECT_EQ(latin.id32[4], 0xE9);
  EXPECT_EQ(latin.id32[31], 5);
}

TEST(SetNewLabel, EmptyLabelGivesEmptyDstringsInRelabelMode) {
  const Encoded e = encode("");
  EXPECT_TRUE(e.ok);
  EXPECT_FALSE(e.query_mode);
  EXPECT_EQ(e.id32, (std::array<uint8_t, 32>{}));
  EXPECT_EQ(e.id128, (std::array<uint8_t, 128>{}));
}

TEST(SetNewLabel, SixteenBitFormsAndTheirCuts) {
  // m characters, one of them above U+00FF: 15 and 63 units at most.
  for (size_t m : {1u, 10u, 15u, 16u, 63u, 64u, 126u}) {
    std::string label = "\xCE\xA9" + ascii(m - 1);  // U+03A9 then ASCII
    std::u16string expected = u"\u03A9";
    for (char c : ascii(m - 1)) expected.push_back(static_cast<char16_t>(c));
    const Encoded e = encode(label);
    ASSERT_TRUE(e.ok);
    EXPECT_EQ(e.id32[0], 16);
    EXPECT_EQ(e.id32[31], 2 * std::min<size_t>(m, 15) + 1) << m;
    EXPECT_EQ(units16(e.id32), expected.substr(0, 15));
    EXPECT_EQ(e.id128[0], 16);
    EXPECT_EQ(e.id128[127], 2 * std::min<size_t>(m, 63) + 1) << m;
    EXPECT_EQ(units16(e.id128), expected.substr(0, 63));
  }
}

TEST(SetNewLabel, FormIsChosenFromTheFirst126CharactersForBothFields) {
  // The only wide character lies beyond the 126th: 8-bit form.
  const Encoded late = encode(ascii(126) + "\xE2\x98\x83");
  EXPECT_EQ(late.id128, dstring8<128>(ascii(126)));
  EXPECT_EQ(late.id32, dstring8<32>(ascii(30)));

  // A wide character at position 20: the 32-byte field is 16-bit too and
  // holds the first 15 characters, all ASCII.
  const Encoded mid = encode(ascii(19) + "\xE2\x98\x83");
  EXPECT_EQ(mid.id32[0], 16);
  std::u16string first15;
  for (char c : ascii(15)) first15.push_back(static_cast<char16_t>(c));
  EXPECT_EQ(units16(mid.id32), first15);
  EXPECT_EQ(units16(mid.id128).back(), u'\u2603');
}

TEST(SetNewLabel, CharactersAboveU0FFFFBecomeSurrogatePairs) {
  const Encoded e = encode("\xF0\x9F\x98\x80");  // U+1F600
  EXPECT_EQ(e.id128[0], 16);
  EXPECT_EQ(units16(e.id128), u"\xD83D\xDE00");
}

TEST(SetNewLabel, InvalidUtf8IsRefusedAndLeavesQueryMode) {
  for (const char* bad : {"\xFF", "abc\x80", "\xC0\x80", "\xE0\x80\x80", "\xED\xA0\x80",
                          "\xF4\x90\x80\x80", "\xE2\x98", "\xC3", "\xF8\x88\x80\x80\x80"}) {
    const Encoded e = encode(bad);
    EXPECT_FALSE(e.ok) << bad;
    EXPECT_TRUE(e.query_mode);
  }
}

TEST(SetNewLabel, HugeArgumentsAreCutWithoutOverflowAndFullyValidated) {
  const std::string huge(100000, 'x');
  const Encoded e = encode(huge);
  ASSERT_TRUE(e.ok);
  EXPECT_EQ(e.id128, dstring8<128>(std::string(126, 'x')));

  std::string wide;
  for (int i = 0; i < 33334; ++i) wide += "\xE2\x98\x83";  // 100,002 bytes of U+2603
  const Encoded w = encode(wide);
  ASSERT_TRUE(w.ok);
  EXPECT_EQ(w.id128[127], 127);

  EXPECT_FALSE(encode(huge + "\xFF").ok);  // a bad byte far beyond the cut still counts
}

TEST(Utf16ToUtf8, PairsDecodeAndUnpairedSurrogatesBecomeReplacementCharacters) {
  std::string out;
  utf16_to_utf8(u"A\u00E9\u2603\xD83D\xDE00", &out);
  EXPECT_EQ(out, "A\xC3\xA9\xE2\x98\x83\xF0\x9F\x98\x80");
  out.clear();
  const char16_t lone[] = {u'a', 0xD800, u'b', 0xDC00, 0};
  utf16_to_utf8(lone, &out);
  EXPECT_EQ(out, "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
}

TEST(ParseUuid, SixteenHexDigitsLowerCasedOrTimeAndRandomBytes) {
  for (const char* bad : {"", "0123456789abcde", "0123456789abcdef0", "0123456789abcdeg", "Random", "random "}) {
    EXPECT_FALSE(parse_uuid(bad)) << bad;
  }
  EXPECT_EQ(std::string(parse_uuid("0123456789ABCdef")->data(), 16), "0123456789abcdef");
  const auto before = static_cast<uint32_t>(std::time(nullptr));
  const auto random = parse_uuid("random");
  const auto after = static_cast<uint32_t>(std::time(nullptr));
  ASSERT_TRUE(random);
  const std::string text(random->data(), 16);
  EXPECT_EQ(parse_uuid(text), random);  // lower-case digits only
  const auto seconds = static_cast<uint32_t>(std::stoul(text.substr(0, 8), nullptr, 16));
  EXPECT_TRUE(seconds >= before && seconds <= after) << text;
  EXPECT_NE(std::string(parse_uuid("random")->data() + 8, 8), text.substr(8));  // fails once in 2^32 runs
}

}  // namespace
