// The platform layer: everything the tool needs from the operating system.
// One implementation per platform (platform_posix.cc, platform_windows.cc);
// nothing outside these files calls the operating system directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

// An image file opened for binary access with 64-bit positioning.
// `handle` is a file descriptor on POSIX and a FILE* on Windows; `position`
// is the byte offset the next read or write starts at.
// The stream closes when it goes out of scope; it is not copied.
struct ImageStream {
  intptr_t handle = -1;
  uint64_t position = 0;
  bool open = false;
  bool read_failed = false;  // a read failed for another reason than the file's end

  ImageStream() = default;
  ImageStream(const ImageStream&) = delete;
  ImageStream& operator=(const ImageStream&) = delete;
  ~ImageStream();
};

// Why an image was not opened for writing although it exists: another
// relabel holds it, or (Linux) it is a file that backs a loop device whose
// file system is mounted, named in `device` ("/dev/loop0").
struct OpenRefusal {
  enum Kind : uint8_t { None, InUse, Mounted } kind = None;
  std::string device;
};

// Opens `path` read-only, or for reading and writing without truncation when
// `writable` is true. Only a regular file or a block device is opened, and
// without blocking on anything else (a FIFO, a device). A block device
// opened for writing is opened exclusively, so that one in use (mounted) is
// refused; a file opened for writing is locked against other writers (POSIX:
// flock; Windows: no write sharing), and one that is mounted through a loop
// device is refused. Returns false when the file cannot be opened, with why
// in `refusal` where it is one of those.
bool stream_open(ImageStream* stream, const char* path, bool writable, OpenRefusal* refusal = nullptr);

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

// Asks the system to start reading into its cache, without waiting for the
// reads, the first `head` bytes of the regular file or block device at `path`,
// its last `tail` bytes, and the last `tail` bytes of its last region of data
// (the end of what a sparse file holds); of a sparse file only the data in
// them, not its holes. Opens and closes the file on its own, read-only and
// without blocking, as stream_open does; a path that cannot be opened, or
// that names anything else, is passed over. On a platform without such
// advice nothing happens.
void prefetch_file(const char* path, uint64_t head, uint64_t tail);

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

// True when `path` names an existing file, directory, device or link (a
// link whose target is gone included).
bool path_exists(const char* path);

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

// Opens the null device on standard input, output or error where one is
// closed, so that no file the run opens takes their place.
void guard_standard_streams();

// Prepares standard output for UTF-16 text, where the platform has such a
// mode (Windows); elsewhere nothing happens.
void set_stdout_utf16();
