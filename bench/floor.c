/* The floor of the benchmark: opens an image and performs exactly the given
 * reads, writes and sync, nothing else; no parsing of what it reads, no
 * output. bench/run finds the operations by tracing the tool on the same
 * image and times this program beside it.
 *
 *   floor r|w IMAGE OP...
 *
 * r opens the image read-only, w for reading and writing. Each OP is
 * rOFFSET+LENGTH (pread), wOFFSET+LENGTH (pwrite of the bytes last read into
 * the buffer), lOFFSET:WHENCE (lseek; WHENCE 0 to 4, SEEK_SET to SEEK_HOLE,
 * its result unchecked: a SEEK_DATA past the last data fails by design),
 * f (fstat), s (fsync) or d (fdatasync). Exit status 0, or 1 when the image
 * cannot be opened or an operation fails, 2 on a malformed OP. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

static unsigned char buffer[1 << 22];

static int parse_extent(const char *text, off_t *offset, size_t *length) {
  char *end;
  unsigned long long value = strtoull(text, &end, 10);
  if (*end != '+') return 0;
  *offset = (off_t)value;
  *length = (size_t)strtoull(end + 1, &end, 10);
  return *end == 0 && *length <= sizeof buffer;
}

int main(int argc, char **argv) {
  if (argc < 3) return 2;
  int fd = open(argv[2], argv[1][0] == 'w' ? O_RDWR | O_CLOEXEC : O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 1;
  int status = 0;
  for (int i = 3; i < argc; ++i) {
    const char *op = argv[i];
    off_t offset;
    size_t length;
    if (op[0] == 'l') {
      char *end;
      off_t where = (off_t)strtoll(op + 1, &end, 10);
      if (*end != ':') status = 2;
      else lseek(fd, where, (int)strtol(end + 1, NULL, 10));
    } else if (op[0] == 'f') {
      struct stat st;
      if (fstat(fd, &st) != 0) status = 1;
    } else if (op[0] == 's') {
      if (fsync(fd) != 0) status = 1;
    } else if (op[0] == 'd') {
      if (fdatasync(fd) != 0) status = 1;
    } else if (!parse_extent(op + 1, &offset, &length)) {
      status = 2;
    } else if (op[0] == 'r') {
      if (pread(fd, buffer, length, offset) != (ssize_t)length) status = 1;
    } else if (op[0] == 'w') {
      if (pwrite(fd, buffer, length, offset) != (ssize_t)length) status = 1;
    } else {
      status = 2;
    }
  }
  close(fd);
  return status;
}
