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

// Number of UTF-16 code units the label argument is converted into.
constexpr size_t kLabelUnits = 128;

// The label as it is written: the 32-byte form (Volume Identifier, File Set
// Identifier) and the 128-byte form (Logical Volume Identifiers).
struct LabelDStrings {
  std::array<uint8_t, 32> id32{};
  std::array<uint8_t, 128> id128{};
};

// Encodes the command-line `label` as both d-strings; none when it is not
// valid UTF-8.
std::optional<LabelDStrings> encode_label(const char* label);

// The number of character bytes of a d-string: its length byte less one, cut
// to the bytes between the Compression ID and the length byte; 0 for an
// empty d-string.
size_t dstring_character_bytes(std::span<const uint8_t> field);

// The characters of a d-string of any size as UTF-8, up to the first zero
// character: 8-bit characters as Latin-1, 16-bit ones as UTF-16 (big-endian;
// an unpaired surrogate becomes U+FFFD). A length byte beyond the field is
// cut to it; another Compression ID or an empty d-string gives "".
std::string dstring_to_utf8(std::span<const uint8_t> field);

// Writes UTF-16 `units` as a 16-bit d-string of dest.size() bytes: at most
// dest.size() - 2 bytes of characters out of `byte_count`, high byte first.
void encode_cs0_16(std::span<uint8_t> dest, std::span<const char16_t> units, size_t byte_count);
