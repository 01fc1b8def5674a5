// SYSRAND: two seed-file random generators whose state survives between runs.
#pragma once
#include <cstdint>

constexpr uint32_t SYSRAND_FALLBACK1 = 0x04BCEE5D;
constexpr uint32_t SYSRAND_FALLBACK2 = 0x030806BF;

// The one request code of sysrand: a step of each generator.
constexpr uint32_t SYSRAND_STEP = 1;

// Results of sysrand.
constexpr uint32_t SYSRAND_OK = 0;
constexpr uint32_t SYSRAND_REQCODE = 1;    // a request code other than SYSRAND_STEP
constexpr uint32_t SYSRAND_NOLOCK = 2;     // the lock was not obtained within 5000 ms
constexpr uint32_t SYSRAND_SEEDFILE = 3;   // seed file trouble

// sysrand(reqcode, path, out1, out2): one step of each generator of the seed
// file at path under its named lock; a SYSRAND_* result. Seed file trouble
// is also a file that is not the user's own, that others may write or that
// has a second name, and a path outside the state folder or in a refused
// one (statedir.h). Outputs always hold values.
uint32_t sysrand(uint32_t reqcode, const char* path, uint32_t* out1, uint32_t* out2);

// sysrandstep(mode, x, y): step (modes 1, 2) or condition (-1, -2) one generator.
uint32_t sysrandstep(int32_t mode, uint32_t* x, uint32_t* y);

constexpr uint32_t SYSRAND_NAMEPARTMAX = 40;  // bytes of the file's name part in a mutex name
constexpr uint32_t SYSRAND_MUTEXNAMEMAX = 54; // "MUTEX_SYSRAND_" and the longest name part

// sysrandmutexname(path, name): the name of the lock guarding the seed file
// at path: "MUTEX_SYSRAND_" and at most 40 bytes of the path after its last
// "\", "/" or ":", with A-Z lowered; name holds SYSRAND_MUTEXNAMEMAX + 1 bytes.
void sysrandmutexname(const char* path, char* name);
