// POSIX side of the platform layer: file descriptors with pread/pwrite, so a
// positioned read or write is one system call.
#include <fcntl.h>
#include <sys/stat.h>
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
  int flags = (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC;
#ifdef __linux__
  // Linux opens a block device with O_EXCL only when no file system is
  // mounted from it and no one else holds it exclusively.
  struct stat status;
  if (writable && stat(path, &status) == 0 && S_ISBLK(status.st_mode)) flags |= O_EXCL;
#endif
  int fd = open(path, flags);
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

std::optional<uint64_t> stream_size(ImageStream* stream) {
  if (!stream->open) return std::nullopt;
  // lseek to the end tells the size of a regular file and of a block device.
  const off_t end = lseek(descriptor_of(stream), 0, SEEK_END);
  if (end < 0) return std::nullopt;
  return static_cast<uint64_t>(end);
}

std::optional<uint64_t> stream_next_data(ImageStream* stream, uint64_t offset) {
  if (offset > static_cast<uint64_t>(INT64_MAX)) return std::nullopt;
#ifdef SEEK_DATA
  const off_t at = lseek(descriptor_of(stream), static_cast<off_t>(offset), SEEK_DATA);
  if (at >= 0) return static_cast<uint64_t>(at);
  if (errno == ENXIO) return std::nullopt;  // only holes from here on
#endif
  return offset;
}

uint64_t stream_next_hole(ImageStream* stream, uint64_t offset) {
#ifdef SEEK_HOLE
  if (offset <= static_cast<uint64_t>(INT64_MAX)) {
    const off_t at = lseek(descriptor_of(stream), static_cast<off_t>(offset), SEEK_HOLE);
    if (at >= 0) return static_cast<uint64_t>(at);
  }
#endif
  return stream_size(stream).value_or(offset);
}

bool stream_sync(ImageStream* stream) {
  if (!stream->open) return false;
#if defined(_POSIX_SYNCHRONIZED_IO) && _POSIX_SYNCHRONIZED_IO > 0
  return fdatasync(descriptor_of(stream)) == 0;
#else
  return fsync(descriptor_of(stream)) == 0;
#endif
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
