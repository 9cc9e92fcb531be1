// The new label as OSTA Compressed Unicode d-strings (ECMA-167 1/7.2.12):
// byte 0 the Compression ID (8 or 16), then the characters, the last byte the
// number of bytes used.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

// The sizes of the d-string fields that carry a label or an identifier: 32
// bytes (a Volume or File Set Identifier) and 128 bytes (a Logical Volume or
// Volume Set Identifier).
constexpr size_t kShortDstring = 32;
constexpr size_t kLongDstring = 128;

// The Compression IDs of OSTA Compressed Unicode: 8-bit and 16-bit characters.
constexpr uint8_t kCompression8 = 8;
constexpr uint8_t kCompression16 = 16;

// Number of UTF-16 code units the label argument is converted into.
constexpr size_t kLabelUnits = kLongDstring;

// The label as it is written: the 32-byte form (Volume Identifier, File Set
// Identifier) and the 128-byte form (Logical Volume Identifiers).
struct LabelDStrings {
  std::array<uint8_t, kShortDstring> id32{};
  std::array<uint8_t, kLongDstring> id128{};
};

// Encodes the command-line `label` as both d-strings; none when it is not
// valid UTF-8.
std::optional<LabelDStrings> encode_label(const char* label);

// A value given on the command line for a d-string field, as UTF-16 units
// up to a zero unit, and the form every field it goes into takes: 16-bit
// when any of its first 126 characters is above U+00FF, else 8-bit.
struct DstringText {
  std::array<char16_t, kLabelUnits> units{};
  bool wide = false;
};

// The command-line `text` as a DstringText; none when it is not valid UTF-8.
std::optional<DstringText> decode_dstring_text(const char* text);

// The number of units of `text` before its zero unit.
size_t dstring_text_length(const DstringText& text);

// Writes `text` as a d-string of dest.size() bytes in its form, cut at a
// whole character to what the field holds (dest.size() - 2 8-bit or half as
// many 16-bit characters); an empty text leaves the field all zero.
void encode_dstring(std::span<uint8_t> dest, const DstringText& text);

// The number of character bytes of a d-string: its length byte less one, cut
// to the bytes between the Compression ID and the length byte; 0 for an
// empty d-string.
size_t dstring_character_bytes(std::span<const uint8_t> field);

// The characters of a d-string of any size, up to the first zero character:
// 8-bit characters as Latin-1, 16-bit ones as UTF-16 (big-endian, a final
// odd byte taking the byte after it as its low half), a surrogate pair
// joined, an unpaired surrogate kept as it is. A length byte beyond the
// field is cut to it; another Compression ID or an empty d-string gives
// none. The one decoder of d-strings: the label, the listing and the UUID
// all read through it.
std::u32string dstring_characters(std::span<const uint8_t> field);

// The same as UTF-8, an unpaired surrogate as U+FFFD.
std::string dstring_to_utf8(std::span<const uint8_t> field);

// Writes UTF-16 `units` as a 16-bit d-string of dest.size() bytes: at most
// dest.size() - 2 bytes of characters out of `byte_count`, high byte first.
void encode_cs0_16(std::span<uint8_t> dest, std::span<const char16_t> units, size_t byte_count);
