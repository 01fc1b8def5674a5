#include "platform/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// The relay has one thread; the reason is asked for right after the failure.
int lasterr = 0;

}  // namespace

fileh file_openread(const char* path) {
  // Non-blocking, so that a FIFO without a writer cannot hold up the open;
  // file_size then refuses it. Reads of regular files are not affected.
  int fd;
  do fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) lasterr = errno;
  return fd < 0 ? FILE_INVALID : fd;
}

bool file_private(fileh h) {
  struct stat st;
  if (::fstat(int(h), &st) != 0) return false;
  // A second name could stand in a folder of another user's choosing, where
  // it can be read or changed without regard to ours.
  return st.st_uid == ::geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0 && st.st_nlink == 1;
}

int file_size(fileh h, uint64_t* size) {
  struct stat st;
  if (::fstat(int(h), &st) != 0) {
    lasterr = errno;
    return -1;
  }
  // A directory, a device or a FIFO has no size to read up to.
  if (!S_ISREG(st.st_mode)) {
    lasterr = FILEERR_NOTREGULAR;
    return -1;
  }
  *size = uint64_t(st.st_size);
  return 0;
}

int file_seek(fileh h, uint64_t offset) {
  return ::lseek(int(h), off_t(offset), SEEK_SET) == off_t(offset) ? 0 : -1;
}

int64_t file_read(fileh h, void* buf, uint32_t len) {
  ssize_t n;
  do n = ::read(int(h), buf, len);
  while (n < 0 && errno == EINTR);
  return n;
}

int64_t file_write(fileh h, const void* buf, uint32_t len) {
  ssize_t n;
  do n = ::write(int(h), buf, len);
  while (n < 0 && errno == EINTR);
  return n;
}

int file_close(fileh h) { return ::close(int(h)) == 0 ? 0 : -1; }

int file_lasterror() { return lasterr; }

void file_errtext(int code, char* buf, uint32_t len) {
  if (len == 0) return;
  snprintf(buf, len, "%s", code == FILEERR_NOTREGULAR ? "not a regular file" : strerror(code));
}
