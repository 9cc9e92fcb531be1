// Windows side of the platform layer: the C runtime's binary streams with
// 64-bit positioning, opened by UTF-16 path; arguments in UTF-8 (main.cc reads
// the wide command line); narrow output as UTF-16 to a console, else in the
// ANSI code page, and standard output in UTF-16 text mode for the label line.
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <windows.h>
#include <bcrypt.h>
#include <winioctl.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <utility>
#include <vector>

#include "image/platform.h"
#include "image/utf.h"

namespace {

FILE* file_of(const ImageStream* stream) {
  return reinterpret_cast<FILE*>(stream->handle);
}

// The UTF-8 `text` as zero-terminated UTF-16; empty when it is not UTF-8.
std::vector<wchar_t> to_wide(const char* text) {
  std::vector<char16_t> units(std::strlen(text) + 1, u'\0');
  if (!utf8_to_utf16(text, units)) return {};
  return std::vector<wchar_t>(units.begin(), units.end());
}

}  // namespace

bool stream_open(ImageStream* stream, const char* path, bool writable, OpenRefusal* refusal) {
  const std::vector<wchar_t> wide_path = to_wide(path);
  if (wide_path.empty()) return false;
  // One relabel at a time: a stream opened for writing shares the file with
  // readers only, so that a second writer's open fails with a sharing
  // violation until the first closes it.
  FILE* file = _wfsopen(wide_path.data(), writable ? L"rb+" : L"rb", writable ? _SH_DENYWR : _SH_DENYNO);
  if (file == nullptr) {
    if (writable && refusal != nullptr && _doserrno == ERROR_SHARING_VIOLATION) refusal->kind = OpenRefusal::InUse;
    return false;
  }
  // Unbuffered: every sector goes to the system at once, so that a write that
  // fails is reported for its own sector rather than when the buffer is next
  // flushed. Reads and writes are whole sectors and need no buffer.
  std::setvbuf(file, nullptr, _IONBF, 0);
  stream->handle = reinterpret_cast<intptr_t>(file);
  stream->position = 0;
  stream->open = true;
  stream->read_failed = false;
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
  if (done < dest.size() && std::ferror(file_of(stream)) != 0) {
    stream->read_failed = true;
    std::clearerr(file_of(stream));
  }
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

// The allocated ranges of a sparse file (FSCTL_QUERY_ALLOCATED_RANGES) up to
// `end`, the last one taken; the whole file where the file system cannot
// tell.
std::optional<DataRegion> stream_last_data(ImageStream* stream, uint64_t end) {
  if (!stream->open || end == 0) return std::nullopt;
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file_of(stream))));
  std::optional<DataRegion> found;
  uint64_t low = 0;
  while (low < end) {
    FILE_ALLOCATED_RANGE_BUFFER query{};
    query.FileOffset.QuadPart = static_cast<LONGLONG>(low);
    query.Length.QuadPart = static_cast<LONGLONG>(end - low);
    FILE_ALLOCATED_RANGE_BUFFER ranges[32]{};
    DWORD returned = 0;
    const bool complete = DeviceIoControl(handle, FSCTL_QUERY_ALLOCATED_RANGES, &query, sizeof query, ranges,
                                          sizeof ranges, &returned, nullptr) != 0;
    if (!complete && GetLastError() != ERROR_MORE_DATA) return DataRegion{0, end};
    const size_t count = returned / sizeof ranges[0];
    if (count == 0) break;
    const auto& last = ranges[count - 1];
    const auto first = static_cast<uint64_t>(last.FileOffset.QuadPart);
    const uint64_t stop = std::min(end, first + static_cast<uint64_t>(last.Length.QuadPart));
    found = DataRegion{std::max(low, first), stop};
    if (complete || stop <= low) break;
    low = stop;
  }
  return found;
}

// The reads are not started ahead: the system's own read-ahead serves.
void prefetch_file(const char* /*path*/, uint64_t /*head*/, uint64_t /*tail*/) {}

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

bool path_exists(const char* path) {
  const std::vector<wchar_t> wide_path = to_wide(path);
  return !wide_path.empty() && GetFileAttributesW(wide_path.data()) != INVALID_FILE_ATTRIBUTES;
}

bool random_bytes(std::span<uint8_t> out) {
  if (out.size() > ULONG_MAX) return false;
  return BCryptGenRandom(nullptr, out.data(), static_cast<ULONG>(out.size()),
                         BCRYPT_USE_SYSTEM_PREFERRED_RNG) >= 0;  // an NTSTATUS: success when not negative
}

bool decode_argument(const char* argument, std::span<char16_t> out) {
  return utf8_to_utf16(argument, out);
}

// ASCII goes out as it is. Other text goes to a console as UTF-16 through
// WriteConsoleW, so that every character shows whatever its code page; to a
// file or pipe it is converted to the ANSI code page (to the console's output
// code page for another character device), each character that code page
// lacks becoming '?'.
void write_stdout(const char* text, size_t size) {
  const bool ascii =
      std::all_of(text, text + size, [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  const HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD console_mode = 0;
  if (!ascii && GetConsoleMode(console, &console_mode) != 0) {
    const std::vector<wchar_t> units = to_wide(std::string(text, size).c_str());
    if (!units.empty()) {
      std::fflush(stdout);
      DWORD written = 0;
      WriteConsoleW(console, units.data(), static_cast<DWORD>(std::wcslen(units.data())), &written, nullptr);
      return;
    }
  }
  const UINT code_page = _isatty(_fileno(stdout)) ? GetConsoleOutputCP() : GetACP();
  const std::vector<wchar_t> wide =
      ascii || code_page == CP_UTF8 ? std::vector<wchar_t>() : to_wide(std::string(text, size).c_str());
  if (wide.empty()) {
    std::fwrite(text, 1, size, stdout);
    return;
  }
  const int needed =
      WideCharToMultiByte(code_page, WC_NO_BEST_FIT_CHARS, wide.data(), -1, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return;
  std::vector<char> bytes(static_cast<size_t>(needed), '\0');
  WideCharToMultiByte(code_page, WC_NO_BEST_FIT_CHARS, wide.data(), -1, bytes.data(), needed, nullptr, nullptr);
  std::fwrite(bytes.data(), 1, bytes.size() - 1, stdout);
}

void write_stdout_bytes(const char* text, size_t size) {
  std::fflush(stdout);
  _setmode(_fileno(stdout), _O_BINARY);
  std::fwrite(text, 1, size, stdout);
  std::fflush(stdout);
}

// A console program's standard handles are the system's to give; nothing is
// opened in their place.
void guard_standard_streams() {}

void set_stdout_utf16() {
  std::fflush(stdout);
  _setmode(_fileno(stdout), _O_U16TEXT);
}
