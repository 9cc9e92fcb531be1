// The first step of every run: read and verify the volume, and return it as
// a value. Nothing is written and nothing is printed; what went wrong comes
// back as a value too.
#pragma once

#include <optional>

#include "image/context.h"
#include "udf/volume.h"

// Why no volume was found: no NSR02 or NSR03 in the recognition sequence at
// any block size; the image too short to hold the anchor at 2048-byte block
// 256; or no verified anchor.
enum class ScanFailure : uint8_t { NoFileSystem, ShortImage, NoAnchor };

struct ScanResult {
  std::optional<Volume> volume;
  ScanFailure failure = ScanFailure::NoFileSystem;
  bool read_error = false;  // a read failed, with or without a volume
};

// Finds the volume's block size (the smallest of 512 to 32768 bytes for which
// the recognition sequence holds NSR02 or NSR03 and a verified anchor lies at
// block 256, 512, N - 256 or N - 1), walks both volume descriptor sequences,
// builds the partition table, reads the File Set Descriptor copies and each
// VAT's identifier, and the revision of the integrity sequence. Sets the
// image's block size. The sessions after the first are found from the
// image's end (udf/sessions.h) and each is scanned as the first is, its VAT
// in the blocks before the next session's start.
ScanResult scan_volume(ImageContext* image);

// Starts the reads that scan_volume will make of the image at `path`, for a
// run that scans it after others: the recognition sequence, the anchors at
// block 256 and 512 and the sequences after them at the usual block sizes,
// the anchors and reserve sequence before the image's end, and the end of its
// data, where a VAT lies. Returns without waiting for them.
void prefetch_scan(const char* path);
