// POSIX side of the platform layer: file descriptors with pread/pwrite, so a
// positioned read or write is one system call.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "image/platform.h"
#include "image/utf.h"

namespace {

int descriptor_of(const ImageStream* stream) {
  return static_cast<int>(stream->handle);
}

}  // namespace

bool stream_open(ImageStream* stream, const char* path, bool writable) {
  if (writable) {
    // A write beyond RLIMIT_FSIZE must come back as a failed write that the
    // tool reports, not as a signal that kills it halfway.
    signal(SIGXFSZ, SIG_IGN);
  }
  int fd = open(path, (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
  if (fd < 0) return false;
  stream->handle = fd;
  stream->position = 0;
  stream->open = true;
  return true;
}

bool stream_seek(ImageStream* stream, uint64_t offset) {
  if (!stream->open || offset > static_cast<uint64_t>(INT64_MAX)) return false;
  stream->position = offset;
  return true;
}

size_t stream_read(ImageStream* stream, std::span<uint8_t> dest) {
  size_t done = 0;
  while (done < dest.size()) {
    ssize_t n = pread(descriptor_of(stream), dest.data() + done, dest.size() - done,
                      static_cast<off_t>(stream->position + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  stream->position += done;
  return done;
}

size_t stream_write(ImageStream* stream, std::span<const uint8_t> src) {
  size_t done = 0;
  while (done < src.size()) {
    ssize_t n = pwrite(descriptor_of(stream), src.data() + done, src.size() - done,
                       static_cast<off_t>(stream->position + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  stream->position += done;
  return done;
}

bool stream_sync(ImageStream* stream) {
  if (!stream->open) return false;
  return fsync(descriptor_of(stream)) == 0;
}

void stream_close(ImageStream* stream) {
  if (stream->open) close(descriptor_of(stream));
  stream->handle = -1;
  stream->open = false;
}

bool decode_argument(const char* argument, std::span<char16_t> out) {
  return utf8_to_utf16(argument, out);
}

void write_stdout(const char* text, size_t size) {
  std::fwrite(text, 1, size, stdout);
}

void set_stdout_utf16() {}
