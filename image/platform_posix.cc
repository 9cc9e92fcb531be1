// POSIX side of the platform layer: file descriptors with pread/pwrite, so a
// positioned read or write is one system call.
#include <dirent.h>
#include <fcntl.h>
#ifdef __linux__
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/sysmacros.h>
#endif
#include <sys/file.h>
#include <sys/stat.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <set>
#include <string>

#include "image/platform.h"
#include "image/utf.h"

namespace {

int descriptor_of(const ImageStream* stream) {
  return static_cast<int>(stream->handle);
}

}  // namespace

#ifdef __linux__
namespace {

// The whole of a small text file (sysfs, procfs), or "". Read with read(2):
// the tool has no iostreams, whose initialiser would run at every start.
std::string file_text(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return text;
}

std::string first_line(const std::string& path) {
  std::string text = file_text(path);
  return text.substr(0, text.find('\n'));
}

// "MAJOR:MINOR" of every mounted file system (/proc/self/mountinfo, field 3).
std::set<std::string> mounted_devices() {
  std::set<std::string> devices;
  const std::string text = file_text("/proc/self/mountinfo");
  for (size_t line = 0; line < text.size();) {
    const size_t end = std::min(text.find('\n', line), text.size());
    size_t field = line;
    for (int k = 0; k < 2 && field < end; ++k) field = text.find(' ', field) + 1;
    const size_t stop = std::min(text.find(' ', field), end);
    if (field > line && field < end) devices.insert(text.substr(field, stop - field));
    line = end + 1;
  }
  return devices;
}

// Whether loop device `name` is backed by the file `file`: its status
// (LOOP_GET_STATUS64) where the device can be opened, else its backing_file
// in sysfs.
bool backed_by(const std::string& name, const struct stat& file) {
  const int fd = open(("/dev/" + name).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd >= 0) {
    loop_info64 info{};
    const bool known = ioctl(fd, LOOP_GET_STATUS64, &info) == 0;
    close(fd);
    if (known) return info.lo_device == file.st_dev && info.lo_inode == file.st_ino;
  }
  const std::string backing = first_line("/sys/block/" + name + "/loop/backing_file");
  struct stat status;
  return !backing.empty() && stat(backing.c_str(), &status) == 0 && status.st_dev == file.st_dev &&
         status.st_ino == file.st_ino;
}

// The loop device ("/dev/loopN") that the file `file` backs and through which
// a file system (of the device or a partition of it) is mounted; none when
// there is none.
std::optional<std::string> mounted_loop_device(const struct stat& file) {
  // Loop devices have major 7, their partitions the extended major 259:
  // with neither mounted, no loop device needs a look.
  const std::set<std::string> mounted = mounted_devices();
  if (std::none_of(mounted.begin(), mounted.end(),
                   [](const std::string& device) { return device.rfind("7:", 0) == 0 || device.rfind("259:", 0) == 0; })) {
    return std::nullopt;
  }
  DIR* dir = opendir("/sys/block");
  if (dir == nullptr) return std::nullopt;
  std::optional<std::string> found;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.rfind("loop", 0) != 0 || first_line("/sys/block/" + name + "/loop/backing_file").empty()) continue;
    if (!backed_by(name, file)) continue;
    bool in_use = mounted.count(first_line("/sys/block/" + name + "/dev")) != 0;
    if (DIR* parts = opendir(("/sys/block/" + name).c_str())) {
      while (const dirent* part = readdir(parts)) {
        const std::string part_name = part->d_name;
        if (part_name.rfind(name + "p", 0) == 0) {
          in_use = in_use || mounted.count(first_line("/sys/block/" + name + "/" + part_name + "/dev")) != 0;
        }
      }
      closedir(parts);
    }
    if (in_use) {
      found = "/dev/" + name;
      break;
    }
  }
  closedir(dir);
  return found;
}

}  // namespace
#endif

bool stream_open(ImageStream* stream, const char* path, bool writable, OpenRefusal* refusal) {
  if (writable) {
    // A write beyond RLIMIT_FSIZE must come back as a failed write that the
    // tool reports, not as a signal that kills it halfway.
    signal(SIGXFSZ, SIG_IGN);
  }
  // Opened without blocking, so that a FIFO without a writer or a device
  // that waits for a carrier is refused at once rather than waited for.
  int flags = (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NONBLOCK;
#ifdef __linux__
  // Linux opens a block device with O_EXCL only when no file system is
  // mounted from it and no one else holds it exclusively.
  struct stat named;
  if (writable && stat(path, &named) == 0 && S_ISBLK(named.st_mode)) flags |= O_EXCL;
#endif
  const int fd = open(path, flags);
  if (fd < 0) return false;
  struct stat status;
  bool usable = fstat(fd, &status) == 0 && (S_ISREG(status.st_mode) || S_ISBLK(status.st_mode));
  usable = usable && fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) == 0;
  OpenRefusal why;
#ifdef __linux__
  if (usable && writable && S_ISREG(status.st_mode)) {
    if (auto device = mounted_loop_device(status)) why = OpenRefusal{OpenRefusal::Mounted, *device};
  }
#endif
  // One relabel at a time: the lock lasts until the stream is closed. A file
  // system that cannot lock at all does not stop the relabel.
  if (usable && writable && why.kind == OpenRefusal::None && flock(fd, LOCK_EX | LOCK_NB) != 0 &&
      errno == EWOULDBLOCK) {
    why.kind = OpenRefusal::InUse;
  }
  if (!usable || why.kind != OpenRefusal::None) {
    close(fd);
    if (refusal != nullptr) *refusal = why;
    return false;
  }
  stream->handle = fd;
  stream->position = 0;
  stream->open = true;
  stream->read_failed = false;
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
    if (n < 0) stream->read_failed = true;
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

namespace {

// Searches back from `end` in windows growing sixteenfold from 1 MiB, so
// that a dense image is answered by one call and a sparse one by a few.
constexpr uint64_t kFirstWindow = uint64_t{1} << 20;
constexpr uint64_t kWindowGrowth = 16;

#ifdef __linux__
// The file's extent map (FS_IOC_FIEMAP), where the file system has one:
// unwritten extents count as data and read as zeros. Fails (none, with
// `supported` false) where the map cannot be had.
std::optional<DataRegion> last_extent(int fd, uint64_t end, bool* supported) {
  constexpr uint32_t kExtents = 32;
  alignas(fiemap) uint8_t storage[sizeof(fiemap) + kExtents * sizeof(fiemap_extent)];
  auto* map = reinterpret_cast<fiemap*>(storage);
  for (uint64_t window = std::min(end, kFirstWindow);; window = std::min(end, window * kWindowGrowth)) {
    uint64_t low = end - window;
    std::optional<DataRegion> found;
    while (low < end) {
      std::memset(storage, 0, sizeof storage);
      map->fm_start = low;
      map->fm_length = end - low;
      map->fm_extent_count = kExtents;
      if (ioctl(fd, FS_IOC_FIEMAP, map) != 0) {
        *supported = false;
        return std::nullopt;
      }
      const uint32_t mapped = map->fm_mapped_extents;
      if (mapped == 0) break;
      const fiemap_extent& last = map->fm_extents[mapped - 1];
      const uint64_t stop = std::min<uint64_t>(end, last.fe_logical + last.fe_length);
      found = DataRegion{std::max<uint64_t>(low, last.fe_logical), stop};
      // A full answer may leave later extents untold: ask again after it.
      if (mapped < kExtents || (last.fe_flags & FIEMAP_EXTENT_LAST) != 0 || stop >= end) break;
      low = stop;
    }
    if (found || window == end) return found;
  }
}
#endif

// The same through SEEK_DATA and SEEK_HOLE: every region after the first data
// found in the window is stepped over to the last.
std::optional<DataRegion> last_region_by_seeking(int fd, uint64_t end) {
  const auto next_data = [fd](uint64_t at) -> std::optional<uint64_t> {
#ifdef SEEK_DATA
    const off_t found = lseek(fd, static_cast<off_t>(at), SEEK_DATA);
    if (found >= 0) return static_cast<uint64_t>(found);
    if (errno == ENXIO) return std::nullopt;  // only holes from here on
#endif
    return at;
  };
  const auto next_hole = [fd, end](uint64_t at) -> uint64_t {
#ifdef SEEK_HOLE
    const off_t found = lseek(fd, static_cast<off_t>(at), SEEK_HOLE);
    if (found > static_cast<off_t>(at)) return std::min(end, static_cast<uint64_t>(found));
#endif
    return end;
  };
  for (uint64_t window = std::min(end, kFirstWindow);; window = std::min(end, window * kWindowGrowth)) {
    const auto data = next_data(end - window);
    if (data && *data < end) {
      DataRegion region{*data, next_hole(*data)};
      while (region.last < end) {
        const auto next = next_data(region.last);
        if (!next || *next >= end || *next < region.last) break;
        region = DataRegion{*next, next_hole(*next)};
      }
      return region;
    }
    if (window == end) return std::nullopt;
  }
}

}  // namespace

std::optional<DataRegion> stream_last_data(ImageStream* stream, uint64_t end) {
  if (!stream->open || end == 0 || end > static_cast<uint64_t>(INT64_MAX)) return std::nullopt;
#ifdef __linux__
  bool supported = true;
  const auto region = last_extent(descriptor_of(stream), end, &supported);
  if (supported) return region;
#endif
  return last_region_by_seeking(descriptor_of(stream), end);
}

namespace {

#ifdef POSIX_FADV_WILLNEED
void advise_reading(int fd, uint64_t first, uint64_t last) {
  if (first < last) posix_fadvise(fd, static_cast<off_t>(first), static_cast<off_t>(last - first), POSIX_FADV_WILLNEED);
}

// The data of [first, last), found by seeking from region to region.
void advise_data_by_seeking(int fd, uint64_t first, uint64_t last) {
  while (first < last) {
    uint64_t stop = last;
#if defined(SEEK_DATA) && defined(SEEK_HOLE)
    const off_t data = lseek(fd, static_cast<off_t>(first), SEEK_DATA);
    if (data < 0 && errno == ENXIO) return;  // only holes from here on
    if (data >= 0) {
      first = static_cast<uint64_t>(data);
      if (first >= last) return;
      const off_t hole = lseek(fd, data, SEEK_HOLE);
      if (hole > data) stop = std::min(last, static_cast<uint64_t>(hole));
    }
#endif
    advise_reading(fd, first, stop);
    first = stop;
  }
}

#ifdef __linux__
// The same from one look at the extent map, for a file of a few extents;
// false where it has more or there is no map.
bool advise_data_by_extents(int fd, uint64_t size, uint64_t head_end, uint64_t tail_first, uint64_t tail) {
  constexpr uint32_t kExtents = 32;
  alignas(fiemap) uint8_t storage[sizeof(fiemap) + kExtents * sizeof(fiemap_extent)] = {};
  auto* map = reinterpret_cast<fiemap*>(storage);
  map->fm_length = size;
  map->fm_extent_count = kExtents;
  if (ioctl(fd, FS_IOC_FIEMAP, map) != 0) return false;
  const uint32_t mapped = map->fm_mapped_extents;
  if (mapped == kExtents && (map->fm_extents[mapped - 1].fe_flags & FIEMAP_EXTENT_LAST) == 0) return false;
  for (uint32_t k = 0; k < mapped; ++k) {
    const fiemap_extent& extent = map->fm_extents[k];
    const uint64_t first = extent.fe_logical;
    const uint64_t last = std::min<uint64_t>(size, first + extent.fe_length);
    advise_reading(fd, first, std::min(last, head_end));
    advise_reading(fd, std::max(first, tail_first), last);
    if (k + 1 == mapped && last < tail_first) advise_reading(fd, std::max({first, head_end, last - std::min(last, tail)}), last);
  }
  return true;
}
#endif
#endif

}  // namespace

void prefetch_file(const char* path, uint64_t head, uint64_t tail) {
#ifdef POSIX_FADV_WILLNEED
  // Opened as stream_open opens a file to read, left non-blocking: nothing
  // is read through it.
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return;
  struct stat status;
  off_t end = -1;
  if (fstat(fd, &status) == 0) {
    if (S_ISREG(status.st_mode)) end = status.st_size;
    if (S_ISBLK(status.st_mode)) end = lseek(fd, 0, SEEK_END);
  }
  const uint64_t size = end > 0 ? static_cast<uint64_t>(end) : 0;
  // The advice only queues the reads; what it cannot queue is left to the
  // reads themselves. Only data is named: the holes of a sparse file cost
  // no reads, and pages read ahead over them would only be zeroed, more
  // than all the rest costs on a sparse image.
  const uint64_t head_end = std::min(size, head);
  const uint64_t tail_first = std::max(head_end, size - std::min(size, tail));
  bool done = size == 0;
#ifdef __linux__
  done = done || advise_data_by_extents(fd, size, head_end, tail_first, tail);
#endif
  if (!done) {
    advise_data_by_seeking(fd, 0, head_end);
    advise_data_by_seeking(fd, tail_first, size);
    // A sparse file's data may end well before the holes at its end.
    const auto region = last_region_by_seeking(fd, size);
    if (region && region->last < tail_first) {
      advise_reading(fd, std::max({head_end, region->first, region->last - std::min(region->last, tail)}), region->last);
    }
  }
  close(fd);
#else
  (void)path;
  (void)head;
  (void)tail;
#endif
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

bool path_exists(const char* path) {
  struct stat status;
  return lstat(path, &status) == 0;
}

// getrandom(2) on Linux, /dev/urandom elsewhere; both may return fewer bytes
// than asked for, or be interrupted, so the call is repeated.
bool random_bytes(std::span<uint8_t> out) {
#ifdef __linux__
  const auto fill = [](uint8_t* dest, size_t size) { return getrandom(dest, size, 0); };
#else
  const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const auto fill = [fd](uint8_t* dest, size_t size) { return read(fd, dest, size); };
#endif
  size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = fill(out.data() + done, out.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
#ifndef __linux__
  close(fd);
#endif
  return done == out.size();
}

bool decode_argument(const char* argument, std::span<char16_t> out) {
  return utf8_to_utf16(argument, out);
}

void write_stdout(const char* text, size_t size) {
  std::fwrite(text, 1, size, stdout);
}

void write_stdout_bytes(const char* text, size_t size) { write_stdout(text, size); }

void guard_standard_streams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor: the one that is closed.
    const int opened = open("/dev/null", O_RDWR);
    if (opened >= 0 && opened != fd) close(opened);
  }
}

void set_stdout_utf16() {}
