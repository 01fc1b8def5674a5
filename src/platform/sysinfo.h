// System figures that feed the entropy of the tunnel nonces. None but the
// random bytes is secret or exact; each only has to differ between runs,
// processes and machines.
#pragma once
#include <cstdint>

// sys_threadid(): the id of the calling thread (GetCurrentThreadId).
uint32_t sys_threadid();
// sys_processid(): the id of this process (GetCurrentProcessId).
uint32_t sys_processid();
// sys_diskfree(blocks): free blocks of the system disk ("/") that an ordinary
// user may take, like the free clusters of "c:\\"; 0, or -1 when the query
// fails (the caller then uses its own fallback figure).
int sys_diskfree(uint64_t* blocks);
// sys_availmem(): free physical memory in bytes (GlobalMemoryStatus); 0 when
// it cannot be found out.
uint64_t sys_availmem();
// sys_random(buf, len): fill len bytes at buf from the operating system's
// random source (getrandom or /dev/urandom; BCryptGenRandom on Windows);
// 0, or -1 when it could not fill them all.
int sys_random(void* buf, uint32_t len);
