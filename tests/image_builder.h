// Composes UDF images block by block for the tests: Volume Recognition
// Sequence, anchors, volume descriptors, partition maps, File Set
// Descriptors, metadata File Entries, sparing tables and Virtual Allocation
// Tables, each descriptor with a valid tag. The tag checksum and CRC are
// computed here independently of the tool's own code.
//
// An image has a block size B (512 to 32768, 2048 unless said otherwise):
// "sector n" below is block n of B bytes, and every descriptor is one block.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace builder {

constexpr uint32_t kSector = 2048;

// An image held in memory, a whole number of blocks long.
struct Image {
  std::vector<uint8_t> bytes;
  uint32_t block = kSector;  // B
};

Image blank_image(uint32_t sectors, uint32_t block = kSector);
uint32_t sector_count(const Image& image);
// The bytes of block `n`; the image grows to hold it.
std::span<uint8_t> sector(Image* image, uint32_t n);
std::span<const uint8_t> sector(const Image& image, uint32_t n);
// `count` blocks from block `n` as one span (a table that spans blocks).
std::span<uint8_t> blocks(Image* image, uint32_t n, uint32_t count);
std::span<const uint8_t> blocks(const Image& image, uint32_t n, uint32_t count);

// Little-endian and raw field writers within one sector.
void put_u8(std::span<uint8_t> s, size_t offset, uint8_t value);
void put_u16(std::span<uint8_t> s, size_t offset, uint16_t value);
void put_u32(std::span<uint8_t> s, size_t offset, uint32_t value);
void put_bytes(std::span<uint8_t> s, size_t offset, std::string_view bytes);
uint16_t get_u16(std::span<const uint8_t> s, size_t offset);
uint32_t get_u32(std::span<const uint8_t> s, size_t offset);

// d-strings (ECMA-167 1/7.2.12): 8-bit from the bytes of `text`, 16-bit from
// UTF-16 units. Text longer than the field is cut.
std::string dstring8(std::string_view text, size_t size);
std::string dstring16(std::u16string_view text, size_t size);
// The 64-byte CS0 charspec.
std::string cs0_charspec();

// CRC-16/XMODEM, bit by bit, and tag validation as a reader would do it:
// checksum, CRC over the recorded length (which must lie in the sector).
uint16_t crc16(std::span<const uint8_t> bytes);
bool tag_is_valid(std::span<const uint8_t> descriptor);

// Fills in the tag of the descriptor at `s`: identifier, version 3, serial 1,
// `location`, the Descriptor CRC over `crc_length` bytes and the checksum.
void finish_tag(std::span<uint8_t> s, uint16_t identifier, uint32_t location, uint16_t crc_length);

// Volume Recognition Sequence: one 2048-byte descriptor per identifier
// ("BEA01", "NSR03", "TEA01", "CD001", ...), Structure Version 1, the k-th at
// byte 32768 + k * stride; stride 0 is max(B, 2048), where a reader with
// blocks of B looks.
void write_vrs(Image* image, std::initializer_list<std::string_view> identifiers, uint32_t stride = 0);

// Anchor at block `at`: main and reserve sequence extents, lengths in blocks.
void write_anchor(Image* image, uint32_t main_location, uint32_t main_sectors,
                  uint32_t reserve_location, uint32_t reserve_sectors, uint32_t at = 256);

void write_pvd(Image* image, uint32_t n, std::string_view volume_identifier);
void write_iuvd(Image* image, uint32_t n, std::string_view lv_identifier,
                std::string_view implementation = "*UDF LV Info");
void write_pd(Image* image, uint32_t n, uint16_t number, uint32_t start, uint32_t length);
void write_usd(Image* image, uint32_t n);
void write_td(Image* image, uint32_t n);

// Partition maps (ECMA-167 3/10.7, UDF 2.2.8-2.2.10), as raw bytes.
std::string type1_map(uint16_t number);
std::string type2_map(std::string_view identifier, uint16_t number);
std::string metadata_map(uint16_t number, uint32_t file_location, uint32_t mirror_location);
// A sparable partition map (UDF 2.2.9): packet length, size of each sparing
// table in bytes and the tables' blocks.
std::string sparable_map(uint16_t number, uint16_t packet_length, uint32_t table_size,
                         const std::vector<uint32_t>& table_locations);
std::string virtual_map(uint16_t number);

// A sparing table (UDF 2.2.12) at block `n`, spanning as many blocks as its
// map entries need: tag identifier 0, "*UDF Sparing Table", the entries as
// (Original Location, Mapped Location). Returns its size in bytes.
struct SparingEntry {
  uint32_t original = 0;
  uint32_t mapped = 0;
};
uint32_t write_sparing_table(Image* image, uint32_t n, const std::vector<SparingEntry>& entries);

// long_ad of the File Set Descriptor, for the LVD's Logical Volume Contents Use.
struct FsdAddress {
  uint32_t length = kSector;
  uint32_t block = 0;
  uint16_t partition = 0;
};

// Number of Partition Maps is maps.size() unless `declared_maps` is given.
void write_lvd(Image* image, uint32_t n, std::string_view lv_identifier, FsdAddress fsd,
               const std::vector<std::string>& maps, int64_t declared_maps = -1);

// The tag location is the File Set Descriptor's logical block, `location`;
// without it, the block `n` it is written at.
void write_fsd(Image* image, uint32_t n, std::string_view lv_identifier,
               std::string_view fs_identifier, std::optional<uint32_t> location = std::nullopt);

// A File Entry (261) or Extended File Entry (266) with allocation
// descriptors of `ad_type` (0 short_ad, 1 long_ad, 2 ext_ad, 3 embedded).
struct Extent {
  uint32_t location = 0;  // logical block within the partition
  uint32_t length = 0;    // bytes
};
struct FileEntryFields {
  bool extended = false;
  uint8_t ad_type = 0;
  uint32_t ea_length = 0;
  std::vector<Extent> extents{};
  uint32_t embedded_length = 0;  // for ad_type 3: that many 'x' bytes
  uint8_t file_type = 250;
  std::string embedded{};        // for ad_type 3, when not empty: the data
  std::string extended_attributes{};  // at the start of the L_EA bytes
  uint64_t information_length = 0;
  std::optional<uint32_t> location{};  // tag location, else `n`
};
void write_file_entry(Image* image, uint32_t n, const FileEntryFields& fields);

// Virtual Allocation Table data (UDF 2.2.11). The UDF 2.00 form (a file of
// type 248): a 152-byte header with the Logical Volume Identifier at 4, then
// one entry per virtual block. The UDF 1.50 form: the entries, then the regid
// "*UDF Virtual Alloc Tbl" and the previous VAT location.
constexpr size_t kVatHeaderLength = 152;
constexpr size_t kVatIdentifierOffset = 4;
std::string vat200_data(std::string_view lv_identifier, const std::vector<uint32_t>& entries);
std::string vat150_data(const std::vector<uint32_t>& entries);
// The extended attributes of a UDF 1.50 VAT File Entry: the Extended
// Attribute Header Descriptor (tag 262) and the "*UDF VAT LVExtension"
// implementation use attribute (type 2048) carrying the Logical Volume
// Identifier at offset 18 of its implementation use, at kLvExtensionIdentifier
// of the returned bytes.
constexpr size_t kLvExtensionIdentifier = 24 + 48 + 18;
std::string vat_lv_extension(std::string_view lv_identifier, uint32_t tag_location);

// Whole layouts used across the tests. `label_sectors` lists the sectors a
// relabel must rewrite, in order.
struct Layout {
  Image image;
  std::vector<uint32_t> label_sectors;
};

// The main and reserve sequences of a volume (PVD, IUVD, PD, LVD, USD, TD
// each) and the anchor at 256. Returns the blocks that carry the label.
struct Sequences {
  std::string_view label = "Old";
  uint32_t main = 32;
  uint32_t reserve = 48;
  uint16_t partition_number = 0;
  uint32_t partition_start = 300;
  uint32_t partition_length = 100;
  FsdAddress fsd{};
  std::vector<std::string> maps = {type1_map(0)};
};
std::vector<uint32_t> write_sequences(Image* image, const Sequences& sequences);

// A plain volume: NSR03, main sequence at 32 and reserve at 48 (at 80 and 96
// for blocks below 2048, after the recognition sequence), one physical
// partition from block 300, File Set Descriptor at its block 0; 400 blocks.
Layout plain_layout(std::string_view label, uint32_t block = kSector);

// A UDF 2.50 volume with a metadata partition in physical partition 0 (start
// 300): metadata File Entry at block 0 with its data at blocks 2-6, mirror
// File Entry at block 100 with its data at 110-114, or the mirror sharing the
// metadata file's sector when `mirror_same_place`. File Set Descriptor at
// metadata block 0; 520 sectors. Each File Entry's and File Set Descriptor's
// Tag Location is its block within its partition.
Layout metadata_layout(std::string_view label, bool mirror_same_place = false);

// A complete UDF 2.50 volume that other UDF readers open cleanly: a metadata
// partition in physical partition 0 (start 288, 128 blocks) whose metadata
// file (File Entry at block 0, data at blocks 32-63) and mirror file (File
// Entry at block 1, data at blocks 64-95) hold the File Set Descriptor
// (metadata block 0), the root directory (block 2) and the Extended File
// Entry of `kSampleFileName` (block 3), whose contents lie at physical block
// 96, before the end of the partition; a Logical Volume Integrity Descriptor
// at 64 and anchors at 256, 767 and 1023; 1024 sectors.
// A sparable partition, the volume's one partition map (partition 0 from
// block 300, 100 blocks, packets of 32), with two copies of its sparing table
// at 260 and 270: 60 free entries (so that at B = 512 a table spans two
// blocks), then packet 0 mapped to 400 and, an entry that must not count, to
// 416. The File Set Descriptor is logical block 3, at 403; decoys at 303
// ("Unmapped") and 419 ("Second Entry"). 448 blocks.
Layout sparable_layout(std::string_view label, uint32_t block = kSector);

// A virtual partition (UDF 2.2.8-2.2.11) over physical partition 0 (block
// 300, 100 blocks): virtual block 0 maps to physical block 5, where the File
// Set Descriptor lies (block 305, tag location 0); a decoy at 300
// ("Unmapped"). The VAT's File Entry is the image's last block, 399:
//   Embedded200  file type 248, the data embedded in the File Entry;
//   InBlock200   file type 248, the data at block 398 (a short_ad);
//   Udf150       the UDF 1.50 form with its "*UDF VAT LVExtension"
//                attribute, on an NSR02 volume whose main sequence holds
//                PVD, PD, LVD, IUVD, TD;
//   Udf150Plain  the same without the extended attributes.
// label_sectors lists the VAT block a relabel rewrites, when there is one.
enum class VatForm { Embedded200, InBlock200, Udf150, Udf150Plain };
Layout virtual_layout(std::string_view label, VatForm form, uint32_t block = kSector);

constexpr std::string_view kSampleFileName = "hello.txt";
constexpr std::string_view kSampleFileContents = "Hello from a UDF 2.50 metadata partition.\n";
Layout metadata_files_layout(std::string_view label);

bool write_file(const std::string& path, const Image& image);
Image read_file(const std::string& path, uint32_t block = kSector);

// The sector numbers of all `parts` together, in ascending order.
std::vector<uint32_t> sorted_sectors(std::initializer_list<std::vector<uint32_t>> parts);

// Blocks (of `before`'s size) in which two images differ; a partial block at
// the end counts as one.
std::vector<uint32_t> changed_sectors(const Image& before, const Image& after);

// The volume make_sample_image writes by default: a complete UDF 2.01 volume
// with one physical partition (start 288, 64 blocks) that other UDF readers
// open cleanly. File Set Descriptor at block 0 with a Terminating Descriptor
// after it, the root directory's File Entry at block 2 (its File Identifiers
// embedded), the File Entry of `kSampleFileName` at block 3 and its contents
// at block 4; a closed Logical Volume Integrity Descriptor at 64; domain
// identifiers and UDF revisions in the LVD, IUVD, FSD and LVID; anchors at
// 256, 383 and 639; 640 sectors.
constexpr std::string_view kSampleVolumeFileContents = "Hello from the volquill sample disc.\n";
Layout sample_layout(std::string_view label);

}  // namespace builder
