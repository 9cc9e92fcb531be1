#include "image/utf.h"

#include <algorithm>
#include <cstdint>

namespace {

// Decodes one UTF-8 sequence at `p`; returns its length, or 0 when invalid.
size_t decode_utf8(const unsigned char* p, char32_t* code_point) {
  unsigned char lead = p[0];
  if (lead < 0x80) {
    *code_point = lead;
    return 1;
  }
  size_t length;
  char32_t value;
  char32_t minimum;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, value = lead & 0x1Fu, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, value = lead & 0x0Fu, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, value = lead & 0x07u, minimum = 0x10000;
  } else {
    return 0;
  }
  // The terminating zero is not a continuation byte, so this never reads
  // past the end of the text.
  for (size_t i = 1; i < length; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    value = (value << 6) | (p[i] & 0x3Fu);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  *code_point = value;
  return length;
}

}  // namespace

void append_utf8(char32_t c, std::string* out) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (c >> 6)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (c >> 12)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (c >> 18)));
    out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

bool utf8_to_utf16(const char* text, std::span<char16_t> out) {
  std::fill(out.begin(), out.end(), u'\0');
  if (out.empty()) return false;
  const size_t limit = out.size() - 1;
  size_t stored = 0;
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  while (*p != 0) {
    char32_t c = 0;
    size_t length = decode_utf8(p, &c);
    if (length == 0) {
      std::fill(out.begin(), out.end(), u'\0');
      return false;
    }
    p += length;
    if (c < 0x10000) {
      if (stored < limit) out[stored++] = static_cast<char16_t>(c);
    } else {
      char32_t v = c - 0x10000;
      if (stored < limit) out[stored++] = static_cast<char16_t>(0xD800 + (v >> 10));
      if (stored < limit) out[stored++] = static_cast<char16_t>(0xDC00 + (v & 0x3FF));
    }
  }
  return true;
}

void utf16_to_utf8(std::span<const char16_t> units, std::string* out) {
  for (size_t i = 0; i < units.size() && units[i] != 0; ++i) {
    char32_t c = units[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
        units[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00u);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    append_utf8(c, out);
  }
}
