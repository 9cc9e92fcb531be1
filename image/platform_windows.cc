// Windows side of the platform layer: the C runtime's binary streams with
// 64-bit positioning, the ANSI code page for the label argument and standard
// output in UTF-16 text mode for the label line.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "image/platform.h"

namespace {

FILE* file_of(const ImageStream* stream) {
  return reinterpret_cast<FILE*>(stream->handle);
}

}  // namespace

bool stream_open(ImageStream* stream, const char* path, bool writable) {
  FILE* file = std::fopen(path, writable ? "rb+" : "rb");
  if (file == nullptr) return false;
  // Unbuffered: every sector goes to the system at once, so that a write that
  // fails is reported for its own sector rather than when the buffer is next
  // flushed. Reads and writes are whole sectors and need no buffer.
  std::setvbuf(file, nullptr, _IONBF, 0);
  stream->handle = reinterpret_cast<intptr_t>(file);
  stream->position = 0;
  stream->open = true;
  return true;
}

bool stream_seek(ImageStream* stream, uint64_t offset) {
  if (!stream->open || offset > static_cast<uint64_t>(INT64_MAX)) return false;
  if (_fseeki64(file_of(stream), static_cast<__int64>(offset), SEEK_SET) != 0) return false;
  stream->position = offset;
  return true;
}

// An update stream needs a positioning call between a read and a write; the
// sector I/O positions before every access, so none is needed here.
size_t stream_read(ImageStream* stream, std::span<uint8_t> dest) {
  const size_t done = std::fread(dest.data(), 1, dest.size(), file_of(stream));
  stream->position += done;
  return done;
}

size_t stream_write(ImageStream* stream, std::span<const uint8_t> src) {
  const size_t done = std::fwrite(src.data(), 1, src.size(), file_of(stream));
  stream->position += done;
  return done;
}

std::optional<uint64_t> stream_size(ImageStream* stream) {
  if (!stream->open) return std::nullopt;
  const __int64 size = _filelengthi64(_fileno(file_of(stream)));
  if (size < 0) return std::nullopt;
  return static_cast<uint64_t>(size);
}

// Holes are not told apart on Windows: the whole file counts as data.
std::optional<uint64_t> stream_next_data(ImageStream* /*stream*/, uint64_t offset) {
  return offset;
}

uint64_t stream_next_hole(ImageStream* stream, uint64_t offset) {
  return stream_size(stream).value_or(offset);
}

bool stream_sync(ImageStream* stream) {
  if (!stream->open) return false;
  FILE* file = file_of(stream);
  return std::fflush(file) == 0 && _commit(_fileno(file)) == 0;
}

void stream_close(ImageStream* stream) {
  if (stream->open) std::fclose(file_of(stream));
  stream->handle = -1;
  stream->open = false;
}

// The label argument in the ANSI code page, converted with MultiByteToWideChar
// as the C runtime received it. Text that needs more units than `out` holds is
// converted whole and then cut, so that a long label still gives its leading
// characters rather than nothing.
bool decode_argument(const char* argument, std::span<char16_t> out) {
  std::fill(out.begin(), out.end(), u'\0');
  if (out.empty()) return false;
  const int needed = MultiByteToWideChar(CP_ACP, 0, argument, -1, nullptr, 0);
  if (needed <= 0) return false;
  std::vector<wchar_t> units(static_cast<size_t>(needed), L'\0');
  if (MultiByteToWideChar(CP_ACP, 0, argument, -1, units.data(), needed) != needed) return false;
  const size_t keep = std::min(units.size() - 1, out.size() - 1);
  for (size_t i = 0; i < keep; ++i) out[i] = static_cast<char16_t>(units[i]);
  return true;
}

void write_stdout(const char* text, size_t size) {
  std::fwrite(text, 1, size, stdout);
}

void set_stdout_utf16() {
  std::fflush(stdout);
  _setmode(_fileno(stdout), _O_U16TEXT);
}
