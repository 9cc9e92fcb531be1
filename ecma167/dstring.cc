#include "ecma167/dstring.h"

#include <algorithm>

#include "image/platform.h"
#include "image/utf.h"

namespace {

constexpr size_t kMaxLabelCharacters = kLongDstring - 2;  // what an 8-bit d-string of 128 bytes holds

void encode_cs0_8(std::span<uint8_t> dest, std::span<const char16_t> units, size_t count) {
  std::fill(dest.begin(), dest.end(), uint8_t{0});
  const size_t k = std::min({count, dest.size() - 2, units.size()});
  dest[0] = kCompression8;
  for (size_t i = 0; i < k; ++i) dest[1 + i] = static_cast<uint8_t>(units[i] & 0xFF);
  dest[dest.size() - 1] = static_cast<uint8_t>(k + 1);
}

}  // namespace

void encode_cs0_16(std::span<uint8_t> dest, std::span<const char16_t> units, size_t byte_count) {
  std::fill(dest.begin(), dest.end(), uint8_t{0});
  dest[0] = kCompression16;
  size_t b = std::min(byte_count, dest.size() - 2);
  size_t unit_count = std::min(b / 2, units.size());
  // A cut between the two halves of a surrogate pair drops the pair whole.
  if (unit_count > 0 && units[unit_count - 1] >= 0xD800 && units[unit_count - 1] <= 0xDBFF) {
    --unit_count;
    b = std::min(b, 2 * unit_count);
  }
  for (size_t k = 0; k < unit_count; ++k) {
    dest[1 + 2 * k] = static_cast<uint8_t>(units[k] >> 8);
    dest[2 + 2 * k] = static_cast<uint8_t>(units[k] & 0xFF);
  }
  dest[dest.size() - 1] = static_cast<uint8_t>(b + 1);
}

size_t dstring_character_bytes(std::span<const uint8_t> field) {
  if (field.size() < 2 || field.back() == 0) return 0;
  return std::min<size_t>(field.back() - 1u, field.size() - 2);
}

std::u32string dstring_characters(std::span<const uint8_t> field) {
  const size_t n = dstring_character_bytes(field);
  std::u32string characters;
  if (field.empty()) return characters;
  if (field[0] == kCompression8) {
    for (size_t i = 0; i < n && field[1 + i] != 0; ++i) characters.push_back(field[1 + i]);
    return characters;
  }
  if (field[0] != kCompression16) return characters;
  std::u16string units;
  for (size_t k = 0; 2 * k < n && 2 + 2 * k < field.size(); ++k) {
    units.push_back(static_cast<char16_t>((field[1 + 2 * k] << 8) | field[2 + 2 * k]));
  }
  for (size_t i = 0; i < units.size() && units[i] != 0; ++i) {
    char32_t c = units[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (units[++i] - 0xDC00u);
    }
    characters.push_back(c);
  }
  return characters;
}

std::string dstring_to_utf8(std::span<const uint8_t> field) {
  std::string text;
  for (char32_t c : dstring_characters(field)) append_utf8(c >= 0xD800 && c <= 0xDFFF ? 0xFFFD : c, &text);
  return text;
}

std::optional<DstringText> decode_dstring_text(const char* text) {
  DstringText decoded;
  if (!decode_argument(text, decoded.units)) return std::nullopt;
  const size_t m = std::min(dstring_text_length(decoded), kMaxLabelCharacters);
  decoded.wide = std::any_of(decoded.units.begin(), decoded.units.begin() + static_cast<ptrdiff_t>(m),
                             [](char16_t c) { return c > 0xFF; });
  return decoded;
}

size_t dstring_text_length(const DstringText& text) {
  return static_cast<size_t>(std::find(text.units.begin(), text.units.end(), u'\0') - text.units.begin());
}

void encode_dstring(std::span<uint8_t> dest, const DstringText& text) {
  const size_t n = dstring_text_length(text);
  if (n == 0) {
    std::fill(dest.begin(), dest.end(), uint8_t{0});
  } else if (text.wide) {
    encode_cs0_16(dest, text.units, 2 * n);
  } else {
    encode_cs0_8(dest, text.units, n);
  }
}

std::optional<LabelDStrings> encode_label(const char* label) {
  const std::optional<DstringText> text = decode_dstring_text(label);
  if (!text) return std::nullopt;
  LabelDStrings encoded;
  encode_dstring(encoded.id32, *text);
  encode_dstring(encoded.id128, *text);
  return encoded;
}
