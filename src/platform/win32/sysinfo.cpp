#include "platform/sysinfo.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <bcrypt.h>

uint32_t sys_threadid() { return uint32_t(GetCurrentThreadId()); }

uint32_t sys_processid() { return uint32_t(GetCurrentProcessId()); }

int sys_diskfree(uint64_t* blocks) {
  // The free clusters of drive C:, where Windows is nearly always installed.
  DWORD sectorspercluster, bytespersector, freeclusters, totalclusters;
  if (!GetDiskFreeSpaceA("c:\\", &sectorspercluster, &bytespersector, &freeclusters, &totalclusters))
    return -1;
  *blocks = freeclusters;
  return 0;
}

uint64_t sys_availmem() {
  MEMORYSTATUSEX ms;
  ms.dwLength = sizeof ms;
  if (!GlobalMemoryStatusEx(&ms)) return 0;
  return ms.ullAvailPhys;
}

int sys_random(void* buf, uint32_t len) {
  // The system's preferred generator, seeded by the system; no handle to open.
  NTSTATUS rc = BCryptGenRandom(nullptr, static_cast<PUCHAR>(buf), len, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
  return rc >= 0 ? 0 : -1;
}
