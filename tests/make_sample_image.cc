// Writes a small UDF image to try the tool on: a plain volume labelled
// "Sample Disc", or with --metadata a UDF 2.50 volume with a metadata
// partition and its mirror.
#include <cstdio>
#include <cstring>

#include "image_builder.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: make_sample_image OUTPUT.iso [--metadata]\n");
    return 2;
  }
  const bool metadata = argc > 2 && std::strcmp(argv[2], "--metadata") == 0;
  const builder::Layout layout =
      metadata ? builder::metadata_layout("Sample Disc") : builder::plain_layout("Sample Disc");
  if (!builder::write_file(argv[1], layout.image)) {
    std::fprintf(stderr, "cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
