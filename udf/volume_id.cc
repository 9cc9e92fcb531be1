#include "udf/volume_id.h"

#include <algorithm>
#include <ctime>

#include "ecma167/dstring.h"
#include "image/platform.h"
#include "ecma167/tag.h"
#include "image/utf.h"
#include "udf/descriptors.h"
#include "udf/layout.h"

namespace {

constexpr size_t kUuidBytes = kUuidCharacters;
constexpr std::string_view kHexDigits = "0123456789abcdef";

bool is_hex_digit(uint8_t c) {
  const auto lower = static_cast<uint8_t>(c | 0x20);
  return (c >= '0' && c <= '9') || (lower >= 'a' && lower <= 'f');
}

char to_lower(uint8_t c) {
  return static_cast<char>(c >= 'A' && c <= 'Z' ? c | 0x20 : c);
}

void append_hex(uint8_t byte, std::string* out) {
  out->push_back(kHexDigits[byte >> 4]);
  out->push_back(kHexDigits[byte & 0x0F]);
}

// The Volume Set Identifier's characters as blkid decodes them: UTF-8 up to
// the first zero character, at most 16 bytes, the character that would cross
// them left out with all after it. A 16-bit identifier is read in whole
// units (a final odd byte is not), its surrogate pair is one character and a
// lone surrogate is encoded as it is.
std::string volume_set_text(std::span<const uint8_t, kLongDstring> identifier) {
  std::array<uint8_t, kLongDstring> whole{};
  std::copy(identifier.begin(), identifier.end(), whole.begin());
  if (whole[0] == kCompression16 && dstring_character_bytes(whole) % 2 == 1) --whole[kLongDstring - 1];
  std::string text;
  std::string character;
  for (char32_t c : dstring_characters(whole)) {
    character.clear();
    append_utf8(c, &character);
    if (text.size() + character.size() > kUuidBytes) break;
    text += character;
  }
  return text;
}

// The time in seconds (low 32 bits) and 4 random bytes, as 16 digits.
std::optional<UuidDigits> random_uuid() {
  const std::time_t now = std::time(nullptr);
  std::array<uint8_t, 8> bytes{};
  if (now == static_cast<std::time_t>(-1) || !random_bytes(std::span(bytes).subspan(4))) return std::nullopt;
  const auto seconds = static_cast<uint32_t>(now);
  for (size_t i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(seconds >> (24 - 8 * i));
  std::string text;
  for (uint8_t byte : bytes) append_hex(byte, &text);
  UuidDigits digits{};
  std::copy(text.begin(), text.end(), digits.begin());
  return digits;
}

}  // namespace

std::optional<UuidDigits> parse_uuid(std::string_view text) {
  if (text == "random") return random_uuid();
  if (text.size() != kUuidBytes ||
      !std::all_of(text.begin(), text.end(), [](char c) { return is_hex_digit(static_cast<uint8_t>(c)); })) {
    return std::nullopt;
  }
  UuidDigits digits{};
  std::transform(text.begin(), text.end(), digits.begin(),
                 [](char c) { return to_lower(static_cast<uint8_t>(c)); });
  return digits;
}

void write_volume_set_uuid(BlockSpan pvd, const UuidDigits& digits) {
  if (!field_fits(pvd, pvd::kVolumeSetIdentifier, kLongDstring)) return;
  const auto field = pvd.subspan<pvd::kVolumeSetIdentifier, kLongDstring>();
  const size_t bytes = dstring_character_bytes(field);
  if (field[0] == kCompression8 && bytes >= kUuidBytes) {
    std::copy(digits.begin(), digits.end(), field.begin() + 1);
  } else if (field[0] == kCompression16 && bytes / 2 >= kUuidBytes) {
    for (size_t k = 0; k < kUuidBytes; ++k) {
      field[1 + 2 * k] = 0;
      field[2 + 2 * k] = static_cast<uint8_t>(digits[k]);
    }
  } else {
    std::fill(field.begin(), field.end(), uint8_t{0});
    field[0] = kCompression8;
    std::copy(digits.begin(), digits.end(), field.begin() + 1);
    field[kLongDstring - 1] = kUuidBytes + 1;
  }
}

std::optional<std::string> uuid_from_volume_set(std::span<const uint8_t, kLongDstring> identifier) {
  if (identifier[0] != kCompression8 && identifier[0] != kCompression16) return std::nullopt;
  const std::string text = volume_set_text(identifier);
  if (text.size() < 8) return std::nullopt;
  std::array<uint8_t, kUuidBytes> bytes{};
  std::copy(text.begin(), text.end(), bytes.begin());
  const auto hex = static_cast<size_t>(std::find_if_not(bytes.begin(), bytes.end(), is_hex_digit) - bytes.begin());
  // Leading hexadecimal digits are kept as they are (16 of them, or the
  // first 8); the rest of the 16 digits print bytes in hexadecimal.
  const size_t kept = hex == kUuidBytes ? kUuidBytes : hex >= 8 ? 8 : 0;
  std::string uuid;
  for (size_t i = 0; i < kept; ++i) uuid.push_back(to_lower(bytes[i]));
  for (size_t i = kept; uuid.size() < kUuidBytes; ++i) append_hex(bytes[i], &uuid);
  return uuid;
}

std::optional<uint16_t> integrity_revision(ConstBlockSpan lvid) {
  const auto revisions = integrity_revisions(lvid);
  if (!revisions) return std::nullopt;
  return std::max(revisions->read, revisions->write);
}

std::optional<UdfRevisions> integrity_revisions(ConstBlockSpan lvid) {
  if (!field_fits(lvid, 0, lvid::kTables) || tag_identifier(lvid) != kTagLogicalVolumeIntegrity ||
      get_u32(lvid, lvid::kLengthOfImplementationUse) < lvid::kUdfImplementationUseSize) {
    return std::nullopt;
  }
  const uint64_t use =
      lvid::kTables + uint64_t{lvid::kTableBytesPerPartition} * get_u32(lvid, lvid::kNumberOfPartitions);
  if (use > lvid.size() || !field_fits(lvid, static_cast<size_t>(use), lvid::kUdfImplementationUseSize)) {
    return std::nullopt;
  }
  const auto at = static_cast<size_t>(use);
  return UdfRevisions{get_u16(lvid, at + lvid::kMinimumReadRevision), get_u16(lvid, at + lvid::kMinimumWriteRevision)};
}

uint16_t domain_revision(ConstBlockSpan lvd) {
  if (!field_fits(lvd, lvd::kDomainRevision, 2) || !is_udf_domain(lvd, lvd::kDomainIdentifierText)) {
    return 0;
  }
  return get_u16(lvd, lvd::kDomainRevision);
}

std::string format_udf_revision(uint16_t revision) {
  std::string text;
  const unsigned major = revision >> 8;
  if (major >= 16) text.push_back(kHexDigits[major >> 4]);
  text.push_back(kHexDigits[major & 0x0F]);
  text.push_back('.');
  append_hex(static_cast<uint8_t>(revision & 0xFF), &text);
  return text;
}

std::optional<uint32_t> windows_serial_number(ConstBlockSpan fsd) {
  if (!field_fits(fsd, 0, fsd::kSerialNumberBytes)) return std::nullopt;
  std::array<uint8_t, 4> lanes{};
  for (size_t i = 0; i < fsd::kSerialNumberBytes; ++i) lanes[i % 4] = static_cast<uint8_t>(lanes[i % 4] + fsd[i]);
  return uint32_t{lanes[3]} << 24 | uint32_t{lanes[2]} << 16 | uint32_t{lanes[1]} << 8 | lanes[0];
}
