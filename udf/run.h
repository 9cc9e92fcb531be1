// One run over one image: open it, find the volume's block size and anchor,
// walk both volume descriptor sequences, build the partition table, handle
// the File Set Descriptor and the Virtual Allocation Table.
#pragma once

#include <optional>
#include <vector>

#include "udf/state.h"

// The whole run. Returns false, after printing why, when the image cannot be
// opened, holds no UDF volume or no verified anchor; in relabel mode (and a
// dry run) also when a label-carrying descriptor is damaged, no File Set
// Descriptor was found, a write failed or a sync failed ("Done!" is printed
// only on success). Everything is read and the plan made before anything is
// written. In query mode `captured_label` then holds the label.
bool run_relabel(RelabelContext* ctx, const char* path);

// Opens the image read-only in query mode and for a dry run, for update in
// relabel mode; prints why and returns false when it cannot.
bool open_image(RelabelContext* ctx, const char* path);

// Finds the volume's block size: the smallest of 512 to 32768 bytes for
// which the recognition sequence holds NSR02 or NSR03 and a verified anchor
// lies at block 256, 512, N - 256 or N - 1. Sets `block_size`,
// `image_blocks` and `flags` and returns the anchor's bytes; prints why and
// returns none when no block size qualifies.
std::optional<std::vector<uint8_t>> find_volume(RelabelContext* ctx);
