// Writes the seed corpus of the fuzz target: volumes from the test image
// builder, each with a label for the relabel run, in the harness's input
// format. Run: make_fuzz_corpus DIRECTORY
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "harness.h"
#include "image_builder.h"
#include "seed_volumes.h"

namespace {

using builder::Image;

struct Seed {
  const char* name;
  const char* label;
  std::function<Image()> make;
};

// The metadata volume with its metadata and mirror File Entries rewritten
// as `main` and `mirror` describe them.
Image metadata_with(const builder::FileEntryFields& main, const builder::FileEntryFields& mirror) {
  Image image = seeds::metadata_volume("Old");
  builder::write_file_entry(&image, 300, main);
  builder::write_file_entry(&image, 400, mirror);
  seeds::retag(&image, 300, 0);
  seeds::retag(&image, 400, 100);
  return image;
}

// The plain volume with sector `n`'s field at `offset` overwritten, its tag
// renewed so that the hostile value lies in a verified descriptor, unless
// the field is in the tag itself.
Image plain_with(uint32_t n, size_t offset, uint32_t value, size_t bytes = 4) {
  Image image = seeds::plain_volume("Old");
  auto s = builder::sector(&image, n);
  for (size_t i = 0; i < bytes; ++i) s[offset + i] = static_cast<uint8_t>(value >> (8 * i));
  if (offset >= 16) seeds::retag(&image, n, n == 300 ? 0 : n);
  return image;
}

// Hostile forms of the volumes above: each puts one bound to the test.
Image wrapping_partition_start() {
  // Partition Starting Location 0xFFFFFFF0 and File Set Descriptor block
  // 0x50: the sum wraps to sector 0x40, where a File Set Descriptor waits.
  Image image = plain_with(34, 188, 0xFFFFFFF0);
  builder::put_u32(builder::sector(&image, 35), 252, 0x50);
  seeds::retag(&image, 35, 35);
  builder::write_fsd(&image, 0x40, "Wrapped", "Wrapped");
  seeds::retag(&image, 0x40, 0x50);
  return image;
}

Image sequence_of_unallocated_space(uint32_t extent_length) {
  Image image = builder::blank_image(400);
  builder::write_vrs(&image, {"BEA01", "NSR03", "TEA01"});
  builder::write_anchor(&image, 32, 16, 48, 16);
  auto anchor = builder::sector(&image, 256);
  builder::put_u32(anchor, 16, extent_length);
  for (uint32_t n = 32; n < 400; ++n) builder::write_usd(&image, n);
  builder::write_pvd(&image, 399, "Last");
  return image;
}

// A volume whose Logical Volume Descriptor has a physical map and a type-2
// map named `identifier`, the File Set Descriptor in the latter: an NSR02
// volume with two maps, or a virtual partition without a VAT.
Image two_map_volume(std::string_view nsr, std::string_view identifier) {
  Image image = builder::blank_image(400);
  builder::write_vrs(&image, {"BEA01", nsr, "TEA01"});
  builder::write_anchor(&image, 32, 16, 48, 16);
  const std::vector<std::string> maps = {builder::type1_map(0), builder::type2_map(identifier, 0)};
  for (uint32_t first : {32u, 48u}) {
    builder::write_pvd(&image, first, "Old");
    builder::write_iuvd(&image, first + 1, "Old");
    builder::write_pd(&image, first + 2, 0, 300, 100);
    builder::write_lvd(&image, first + 3, "Old", {2048, 0, 1}, maps);
    builder::write_td(&image, first + 4);
  }
  builder::write_fsd(&image, 300, "Old", "Old");
  seeds::retag(&image, 300, 0);
  return image;
}

const Seed kSeeds[] = {
    {"plain", "New Label", [] { return seeds::plain_volume("Old"); }},
    {"plain-unicode", "\xC3\x9Cn\xC3\xAF" "c\xC3\xB8" "d\xC3\xA9 \xE2\x98\x83 \xE6\x97\xA5\xE6\x9C\xAC",
     [] { return seeds::plain_volume("Old"); }},
    {"plain-not-utf8", "\xFF\xFE", [] { return seeds::plain_volume("Old"); }},
    {"plain-512", "Small Blocks", [] { return seeds::with_block_size(seeds::plain_volume("Old"), 512); }},
    {"plain-4096", "Large Blocks", [] { return seeds::with_block_size(seeds::plain_volume("Old"), 4096); }},
    {"metadata-mirror", "Mirrored", [] { return seeds::metadata_volume("Old"); }},
    {"metadata-512", "Small Mirrored", [] { return seeds::with_block_size(seeds::metadata_volume("Old"), 512); }},
    {"metadata-4096", "Large Mirrored",
     [] { return seeds::with_block_size(seeds::metadata_volume("Old"), 4096); }},
    {"metadata-same-sector", "Same", [] { return seeds::metadata_volume("Old", true); }},
    {"metadata-files", "Files", [] { return builder::metadata_files_layout("Old").image; }},
    {"two-sessions", "Both", [] { return seeds::two_session_volume("Old", "Later"); }},
    {"metadata-extended-long-ad", "Extended",
     [] {
       return metadata_with({true, 1, 32, {{2, 5 * 2048}}, 0}, {true, 1, 32, {{110, 5 * 2048}}, 0});
     }},
    {"metadata-embedded", "Embedded",
     [] { return metadata_with({false, 3, 0, {}, 4}, {false, 3, 0, {}, 4}); }},
    {"nsr02-two-maps", "Two Maps", [] { return two_map_volume("NSR02", "*UDF Sparable Partition"); }},
    {"virtual-partition", "Virtual", [] { return two_map_volume("NSR03", "*UDF Virtual Partition"); }},
    {"virtual-vat-embedded", "Write Once", [] { return seeds::virtual_volume("Old"); }},
    {"virtual-vat-data-block", "Write Once Data", [] { return seeds::virtual_volume("Old", true); }},
    {"sparable-table", "Sparable", [] { return seeds::sparable_volume("Old"); }},
    {"sparable-damaged-first-table", "Second Table", [] { return seeds::sparable_volume("Old", true); }},
    {"hostile-wrapping-partition-start", "Wrap", wrapping_partition_start},
    {"hostile-partition-maps-0xffffffff", "Maps", [] { return plain_with(35, 268, 0xFFFFFFFF); }},
    {"hostile-map-length-0", "Zero", [] { return plain_with(35, 441, 0, 1); }},
    {"hostile-crc-length-0xffff", "CRC", [] { return plain_with(32, 10, 0xFFFF, 2); }},
    {"hostile-lv-identifier-length-255", "Long", [] { return plain_with(35, 84 + 127, 255, 1); }},
    {"hostile-sequence-near-2-32", "Far", [] { return plain_with(256, 20, 0xFFFFFFF8); }},
    {"hostile-sequence-0xffffffff-bytes", "Endless", [] { return sequence_of_unallocated_space(0xFFFFFFFF); }},
    {"hostile-metadata-l-ea-0xffffffff", "EA",
     [] {
       Image image = builder::metadata_layout("Old").image;
       builder::put_u32(builder::sector(&image, 300), 168, 0xFFFFFFFF);
       return image;
     }},
    {"hostile-metadata-extent-type-bits", "Type",
     [] {
       return metadata_with({false, 0, 0, {{2, 0xC0000800}}, 0}, {false, 0, 0, {{110, 0x40000800}}, 0});
     }},
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_fuzz_corpus DIRECTORY\n");
    return 2;
  }
  for (const Seed& seed : kSeeds) {
    const Image image = seed.make();
    const std::vector<uint8_t> input = encode_fuzz_input(seed.label, image.bytes);
    const std::string path = std::string(argv[1]) + "/" + seed.name;
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr || std::fwrite(input.data(), 1, input.size(), file) != input.size()) {
      std::fprintf(stderr, "cannot write %s\n", path.c_str());
      return 1;
    }
    std::fclose(file);
  }
  return 0;
}
