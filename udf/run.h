// One run over one image: open it, recognise UDF, read the anchor, walk both
// volume descriptor sequences and handle the File Set Descriptor.
#pragma once

#include <array>

#include "image/context.h"

// The whole run. Returns false, after printing why, when the image cannot be
// opened, holds no NSR02/NSR03 descriptor, or has no readable sector 256;
// true once the anchor has been read, whatever the later stages meet.
bool run_relabel(RelabelContext* ctx, const char* path);

// Opens the image read-only in query mode, for update in relabel mode.
bool open_image(RelabelContext* ctx, const char* path);

// Looks for "NSR02" or "NSR03" in sectors 16-25, up to and including the
// first sector whose Structure Version is 0.
bool scan_recognition_sequence(RelabelContext* ctx);

// Reads sector 256 into `descriptor`; its tag is not examined.
bool read_anchor(RelabelContext* ctx, SectorSpan descriptor);
