// The volume's UUID, which UDF keeps in the first 16 characters of the
// Primary Volume Descriptor's Volume Set Identifier (UDF 2.2.2.5), and the UDF
// revision a volume declares, both read the way blkid reads them. Each
// function works on bytes in memory and reads nothing outside them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "ecma167/dstring.h"
#include "image/bytes.h"

// The UUID is the first 16 characters of the Volume Set Identifier.
constexpr size_t kUuidCharacters = 16;

// The 16 lower-case hexadecimal digits of a UUID.
using UuidDigits = std::array<char, kUuidCharacters>;

// The UUID a --uuid argument stands for: 16 hexadecimal digits of either
// case, lower-cased; or "random": the current time in seconds (UTC, low 32
// bits; the unique part UDF 2.2.2.5 asks for) as 8 digits, then 8 digits of 4
// bytes from the platform's random source. None for any other text, and for
// "random" when the random source fails.
std::optional<UuidDigits> parse_uuid(std::string_view text);

// Makes `digits` the first 16 characters of the Primary Volume Descriptor's
// Volume Set Identifier. An identifier of 16 characters or more keeps its
// compression (8 or 16), its length byte and the characters after the 16th;
// a shorter one, or one of another compression ID, becomes the 16 digits
// alone in the 8-bit form. The tag is left for the caller to renew.
void write_volume_set_uuid(BlockSpan pvd, const UuidDigits& digits);

// The UUID blkid derives from a Volume Set Identifier: the identifier decoded
// to UTF-8 (8-bit: Latin-1, 16-bit: UTF-16BE), up to a zero character, at
// most 16 bytes without cutting a character, padded with zero bytes to 16.
// When all 16 are hexadecimal digits, they lower-cased; when only the first 8
// to 15 are, the first 8 lower-cased and bytes 8 to 11 in hexadecimal; else
// bytes 0 to 7 in hexadecimal. None (blkid gives no UUID) for a compression
// ID other than 8 and 16 and when fewer than 8 bytes decode.
std::optional<std::string> uuid_from_volume_set(std::span<const uint8_t, kLongDstring> identifier);

// The UDF revision a Logical Volume Integrity Descriptor declares: the higher
// of the Minimum UDF Read and Minimum UDF Write Revision of its Implementation
// Use (UDF 2.2.6.4). None when `lvid` is not one (tag 9), when its Length of
// Implementation Use is below the 46 bytes of the UDF layout, or when that
// layout does not lie wholly in `lvid`.
std::optional<uint16_t> integrity_revision(ConstBlockSpan lvid);

// The Minimum UDF Read and Write Revisions of a Logical Volume Integrity
// Descriptor's Implementation Use, on the same terms as integrity_revision.
struct UdfRevisions {
  uint16_t read = 0;
  uint16_t write = 0;
};
std::optional<UdfRevisions> integrity_revisions(ConstBlockSpan lvid);

// The UDF revision in the suffix of a Logical Volume Descriptor's Domain
// Identifier (UDF 2.1.5.3); 0 when the identifier is not "*OSTA UDF
// Compliant". blkid reports the higher of this and integrity_revision, and no
// revision when that is 0.
uint16_t domain_revision(ConstBlockSpan lvd);

// A revision as blkid prints it: "2.01" for 0x0201, "1.50" for 0x0150.
std::string format_udf_revision(uint16_t revision);

// The serial number Windows shows for a UDF volume (its `vol` command's
// XXXX-XXXX): the first 512 bytes of the File Set Descriptor summed in four
// byte lanes, lane 0 the least significant byte. None when `fsd` is shorter.
std::optional<uint32_t> windows_serial_number(ConstBlockSpan fsd);
