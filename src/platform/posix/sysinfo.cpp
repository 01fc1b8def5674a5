#include "platform/sysinfo.h"

#include <sys/statvfs.h>
#include <unistd.h>

#if defined(__linux__)
#include <sys/syscall.h>
#else
#include <pthread.h>
#endif

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
