// SHA-1 internals shared by sha1.cpp, sha1_shani.cpp, pbkdf2.cpp, the tests
// and the benchmarks: the compression functions of each path and the choice
// between them.
#pragma once
#include <cstddef>
#include <cstdint>

#include "crypto/bytes.h"

// The ways to run the compression function: plain C++ everywhere, or the
// x86 SHA instructions where the processor has them.
enum class sha1path { portable, shani };

// Chaining value H0..H4 before the first block.
inline constexpr uint32_t SHA1_IV[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476,
                                        0xC3D2E1F0};

// sha1blocks(h, p, n): compress the n 64-byte blocks at p into the chaining
// value h, on the selected path.
void sha1blocks(uint32_t h[5], const uint8_t* p, size_t n);

// sha1blocks_portable(h, p, n): sha1blocks in plain C++.
void sha1blocks_portable(uint32_t h[5], const uint8_t* p, size_t n);

// sha1blocks_shani(h, p, n): sha1blocks with the SHA instructions; call it
// only when sha1canuse(sha1path::shani) is true.
void sha1blocks_shani(uint32_t h[5], const uint8_t* p, size_t n);

// Most PBKDF2 blocks that one call of sha1hmacchain works on together.
constexpr int SHA1_MAXLANES = 5;

// sha1hmacchain(ih, oh, u, t, lanes, count): the inner loop of PBKDF2 for
// `lanes` independent blocks (1 to SHA1_MAXLANES). For each lane j, repeat
// count times: u[j] = HMAC-SHA1 of the 20-byte message u[j], then
// t[j] ^= u[j]. ih and oh are the chaining values of the inner and the outer
// hash after their 64-byte key blocks, so that each HMAC costs two
// compressions. u and t hold the digests as five words, H0 first.
void sha1hmacchain(const uint32_t ih[5], const uint32_t oh[5], uint32_t (*u)[5],
                   uint32_t (*t)[5], int lanes, uint32_t count);

// sha1hmacchain_portable(...), sha1hmacchain_shani(...): the same on one path.
void sha1hmacchain_portable(const uint32_t ih[5], const uint32_t oh[5], uint32_t (*u)[5],
                            uint32_t (*t)[5], int lanes, uint32_t count);
void sha1hmacchain_shani(const uint32_t ih[5], const uint32_t oh[5], uint32_t (*u)[5],
                         uint32_t (*t)[5], int lanes, uint32_t count);

// sha1shani_built(): true when this build contains the SHA instruction path.
bool sha1shani_built();

// sha1canuse(path): true when path is built in and the processor runs it.
bool sha1canuse(sha1path path);

// sha1usepath(path): make path the one that sha1blocks and sha1hmacchain
// take; false (and no change) when it cannot run here. The choice is made
// once at first use from CPUID; tests and benchmarks call this to measure or
// check one path.
bool sha1usepath(sha1path path);

// sha1curpath(): the path in use.
sha1path sha1curpath();
