// Conversions between UTF-8 and UTF-16, independent of the locale.
#pragma once

#include <span>
#include <string>

// Decodes the zero-terminated UTF-8 `text` into UTF-16 code units (characters
// above U+FFFF become surrogate pairs). At most out.size() - 1 units are
// stored, then a zero unit; the rest of the text is still validated.
// Returns false, with `out` all zero, when `text` is not valid UTF-8
// (overlong forms, encoded surrogates, values above U+10FFFF, stray or
// missing continuation bytes).
bool utf8_to_utf16(const char* text, std::span<char16_t> out);

// Appends the code point `c` (at most U+10FFFF) to `out` as UTF-8, 1 to 4
// bytes; a surrogate value is encoded like any other.
void append_utf8(char32_t c, std::string* out);

// Appends the UTF-16 `units` up to the first zero unit to `out` as UTF-8.
// An unpaired surrogate becomes U+FFFD.
void utf16_to_utf8(std::span<const char16_t> units, std::string* out);
