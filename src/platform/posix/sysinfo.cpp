#include "platform/sysinfo.h"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>

#if defined(__linux__)
#include <sys/random.h>
#include <sys/syscall.h>
#else
#include <pthread.h>
#endif

namespace {

// Read len bytes of /dev/urandom; 0 or -1.
int readurandom(uint8_t* p, uint32_t len) {
  int fd;
  do fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) return -1;
  while (len > 0) {
    ssize_t n = ::read(fd, p, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    p += n, len -= uint32_t(n);
  }
  ::close(fd);
  return len == 0 ? 0 : -1;
}

}  // namespace

uint32_t sys_threadid() {
#if defined(__linux__)
  return uint32_t(::syscall(SYS_gettid));
#else
  // No numeric thread id elsewhere; the handle's bits serve as well here.
  return uint32_t(uintptr_t(pthread_self()));
#endif
}

uint32_t sys_processid() { return uint32_t(::getpid()); }

int sys_diskfree(uint64_t* blocks) {
  struct statvfs st;
  if (::statvfs("/", &st) != 0) return -1;
  *blocks = uint64_t(st.f_bavail);
  return 0;
}

uint64_t sys_availmem() {
  // The free pages, from one system call: this runs for every connection, and
  // the kernel's fuller estimate (MemAvailable of /proc/meminfo) costs an
  // open, a 1.5 KB text and a search each time for a figure that only has to
  // vary.
  long pages = ::sysconf(_SC_AVPHYS_PAGES);
  long pagesize = ::sysconf(_SC_PAGESIZE);
  if (pages <= 0 || pagesize <= 0) return 0;
  return uint64_t(pages) * uint64_t(pagesize);
}

int sys_random(void* buf, uint32_t len) {
  uint8_t* p = static_cast<uint8_t*>(buf);
#if defined(__linux__)
  // getrandom() needs no descriptor and blocks only until the kernel's pool
  // was first seeded; a kernel without it falls back on the device.
  while (len > 0) {
    ssize_t n = ::getrandom(p, len, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == ENOSYS) break;
    if (n <= 0) return -1;
    p += n, len -= uint32_t(n);
  }
  if (len == 0) return 0;
#endif
  return readurandom(p, len);
}
