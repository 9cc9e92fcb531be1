// The platform layer: everything the tool needs from the operating system.
// One implementation per platform (platform_posix.cc, platform_windows.cc);
// nothing outside these files calls the operating system directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

// An image file opened for binary access with 64-bit positioning.
// `handle` is a file descriptor on POSIX and a FILE* on Windows; `position`
// is the byte offset the next read or write starts at.
// The stream closes when it goes out of scope; it is not copied.
struct ImageStream {
  intptr_t handle = -1;
  uint64_t position = 0;
  bool open = false;

  ImageStream() = default;
  ImageStream(const ImageStream&) = delete;
  ImageStream& operator=(const ImageStream&) = delete;
  ~ImageStream();
};

// Opens `path` read-only, or for reading and writing without truncation when
// `writable` is true. A block device opened for writing is opened
// exclusively, so that one in use (mounted) is refused. Returns false when
// the file cannot be opened.
bool stream_open(ImageStream* stream, const char* path, bool writable);

// The size in bytes of the open file or device; none when it cannot be told.
std::optional<uint64_t> stream_size(ImageStream* stream);

// A run of bytes [first, last) of the file that holds data rather than a
// hole of a sparse file.
struct DataRegion {
  uint64_t first = 0;
  uint64_t last = 0;
};

// The last region of data that begins before byte `end`, cut at `end`; none
// when only holes lie before it. Where holes cannot be told, everything is
// data. Costs a few system calls whatever the file's size.
std::optional<DataRegion> stream_last_data(ImageStream* stream, uint64_t end);

// Positions the stream at byte `offset` from the start of the file.
bool stream_seek(ImageStream* stream, uint64_t offset);

// Reads up to `dest.size()` bytes at the current position and advances past
// them. Returns the number of bytes read; fewer means end of file or error.
size_t stream_read(ImageStream* stream, std::span<uint8_t> dest);

// Writes `src` at the current position and advances past it. Returns the
// number of bytes written; fewer means an error.
size_t stream_write(ImageStream* stream, std::span<const uint8_t> src);

// Flushes what was written and has the system commit it to storage (the
// data, and the metadata needed to read it back).
bool stream_sync(ImageStream* stream);

// Closes the stream if it is open. The result of closing is not examined.
void stream_close(ImageStream* stream);

inline ImageStream::~ImageStream() { stream_close(this); }

// Fills `out` from the operating system's random source (getrandom or
// /dev/urandom on POSIX, BCryptGenRandom on Windows). Returns false when the
// source fails; `out` is then not to be used.
bool random_bytes(std::span<uint8_t> out);

// Converts a command-line argument, UTF-8 (on Windows main.cc makes it so from
// the wide command line), to UTF-16. Writes at most out.size() - 1 code units followed by a
// zero unit; longer text is cut. Returns false when the argument cannot be
// decoded (it is not valid UTF-8), leaving `out` all zero.
bool decode_argument(const char* argument, std::span<char16_t> out);

// Writes narrow text to standard output: on POSIX the bytes as they are; on
// Windows, UTF-8 text written to a console as UTF-16 (WriteConsoleW), or
// converted to the ANSI code page when standard output is not a console.
void write_stdout(const char* text, size_t size);

// Writes bytes to standard output unchanged, on every platform (on Windows in
// binary mode, bypassing the code page).
void write_stdout_bytes(const char* text, size_t size);

// Prepares standard output for UTF-16 text, where the platform has such a
// mode (Windows); elsewhere nothing happens.
void set_stdout_utf16();
