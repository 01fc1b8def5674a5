// SYSRAND: two seed-file random generators whose state survives between runs.
#pragma once
#include <cstdint>

constexpr uint32_t SYSRAND_FALLBACK1 = 0x04BCEE5D;
constexpr uint32_t SYSRAND_FALLBACK2 = 0x030806BF;

// sysrand(reqcode, path, out1, out2): one step of each generator of the seed
// file at path under its named lock; 0 ok, 1 bad request code, 2 lock not
// obtained within 5000 ms, 3 seed file trouble. Outputs always hold values.
uint32_t sysrand(uint32_t reqcode, const char* path, uint32_t* out1, uint32_t* out2);

// sysrandstep(mode, x, y): step (modes 1, 2) or condition (-1, -2) one generator.
uint32_t sysrandstep(int32_t mode, uint32_t* x, uint32_t* y);
