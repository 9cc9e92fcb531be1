// Writes a small UDF image to try the tool on: a complete UDF 2.01 volume
// labelled "Sample Disc" with one physical partition and a small file in its
// root directory; with --metadata a UDF 2.50 volume with a metadata partition
// and its mirror; with --metadata-files the same kind of volume complete with
// a root directory and a small file, as other UDF readers expect it.
#include <cstdio>
#include <cstring>

#include "image_builder.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: make_sample_image OUTPUT.iso [--metadata | --metadata-files]\n");
    return 2;
  }
  const char* kind = argc > 2 ? argv[2] : "";
  builder::Layout layout;
  if (std::strcmp(kind, "--metadata") == 0) {
    layout = builder::metadata_layout("Sample Disc");
  } else if (std::strcmp(kind, "--metadata-files") == 0) {
    layout = builder::metadata_files_layout("Sample Disc");
  } else if (*kind == 0) {
    layout = builder::sample_layout("Sample Disc");
  } else {
    std::fprintf(stderr, "unknown option: %s\n", kind);
    return 2;
  }
  if (!builder::write_file(argv[1], layout.image)) {
    std::fprintf(stderr, "cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
