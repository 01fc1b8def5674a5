// RC4: the key scheduling and keystream generation as published, on a state
// of S followed by the indices i and j.
#include "crypto/rc4.h"

#include <bit>
#include <cstring>

#include "platform/compiler.h"

void rc4setup(uint8_t* st, const uint8_t* key, uint32_t keylen) {
  uint8_t* s = st;
  for (int n = 0; n < 256; n++) s[n] = uint8_t(n);
  uint8_t j = 0;
  uint32_t k = 0;
  for (int n = 0; n < 256; n++) {
    j = uint8_t(j + s[n] + key[k]);
    if (++k == keylen) k = 0;
    uint8_t t = s[n];
    s[n] = s[j];
    s[j] = t;
  }
  st[256] = 0;
  st[257] = 0;
}

uint8_t rc4byte(uint8_t* st) {
  uint8_t* s = st;
  uint8_t i = uint8_t(st[256] + 1);
  uint8_t si = s[i];
  uint8_t j = uint8_t(st[257] + si);
  uint8_t sj = s[j];
  s[i] = sj;
  s[j] = si;
  st[256] = i;
  st[257] = j;
  return s[uint8_t(si + sj)];
}

// One RC4 step on S (entries of type E) with the indices in registers;
// yields the keystream byte.
template <typename E>
static inline unsigned rc4step(E* s, unsigned& i, unsigned& j) {
  i = (i + 1) & 255;
  unsigned si = s[i];
  j = (j + si) & 255;
  unsigned sj = s[j];
  s[i] = E(sj);
  s[j] = E(si);
  return s[(si + sj) & 255];
}

// Where byte b of a word loaded from memory sits in the machine's byte order.
static constexpr int shift(int b) {
  return std::endian::native == std::endian::little ? 8 * b : 56 - 8 * b;
}

void rc4xorbyte(uint8_t* st, const uint8_t* in, uint8_t* out, uint32_t len) {
  // The indices live in registers for the whole run; only S is in memory.
  // Eight keystream bytes are gathered into one word and applied together,
  // after all eight input bytes of that group have been read.
  uint8_t* s = st;
  unsigned i = st[256], j = st[257];
  uint32_t k = 0;
  for (; k + 8 <= len; k += 8) {
    uint64_t ks = 0;
#pragma GCC unroll 8
    for (int b = 0; b < 8; b++) ks |= uint64_t(rc4step(s, i, j)) << shift(b);
    uint64_t x;
    memcpy(&x, in + k, 8);
    x ^= ks;
    memcpy(out + k, &x, 8);
  }
  for (; k < len; k++) out[k] = in[k] ^ uint8_t(rc4step(s, i, j));
  st[256] = uint8_t(i);
  st[257] = uint8_t(j);
}

namespace {

// Eight 16-bit lanes in one vector register; a lane takes a table entry in
// one instruction that needs no integer unit.
typedef uint16_t lanes8 __attribute__((vector_size(16)));

}  // namespace

// One step of a group in rc4xorwide: b is the step (0 to 7), a##b the entry
// S[i] read ahead for it. A swap that lands on a later entry of the group
// makes the copies read ahead from there on stale: read them again.
#define RC4WIDESTEP(b)                                              \
  {                                                                 \
    const unsigned si = a##b;                                       \
    j += si;                                                        \
    const unsigned t = j & 255;                                     \
    const unsigned sj = s[t];                                       \
    s[t] = si;                                                      \
    g[b] = sj;                                                      \
    if (b % 2 == 0)                                                 \
      even[b / 2] = uint16_t(s[(si + sj) & 255]);                   \
    else                                                            \
      odd[b / 2] = uint16_t(s[(si + sj) & 255]);                    \
    if (t - (base + b + 1) < 7u - b) [[unlikely]]                   \
      reread(b + 1);                                                \
  }

void rc4xorwide(uint8_t* st, const uint8_t* in, uint8_t* out, uint32_t len) {
  // S is copied into 32-bit entries for the call. Entries of one byte make
  // some processors wait on stores to neighbouring entries of the same word;
  // whole words do not share.
  alignas(64) uint32_t s[256];
  for (int n = 0; n < 256; n++) s[n] = st[n];
  unsigned i = st[256], j = st[257];
  uint32_t k = 0;

  // Single steps until the next i is a multiple of 8, so that no group of
  // eight steps wraps around the end of S.
  for (; k < len && ((i + 1) & 7) != 0; k++) out[k] = in[k] ^ uint8_t(rc4step(s, i, j));

  // Groups of eight steps. The eight S[i] of a group are read before any of
  // its swaps, so that the chain j = j + S[i] never waits for a load that
  // follows a store; j is masked only where it indexes S. Few values stay
  // live across a group (base, j, the eight copies, the pointers), so that
  // all of them fit in registers.
  unsigned base = (i + 1) & 255;
  const uint8_t* src = in + k;
  uint8_t* dst = out + k;
  const uint32_t groups = (len - k) / 8;
  for (uint32_t n = groups; n > 0; n--) {
    uint32_t* g = s + base;
    unsigned a0 = g[0], a1 = g[1], a2 = g[2], a3 = g[3], a4 = g[4], a5 = g[5], a6 = g[6],
             a7 = g[7];
    auto reread = [&](int from) {
      switch (from) {
        case 1: a1 = g[1]; [[fallthrough]];
        case 2: a2 = g[2]; [[fallthrough]];
        case 3: a3 = g[3]; [[fallthrough]];
        case 4: a4 = g[4]; [[fallthrough]];
        case 5: a5 = g[5]; [[fallthrough]];
        case 6: a6 = g[6]; [[fallthrough]];
        case 7: a7 = g[7]; [[fallthrough]];
        default: break;
      }
    };
    lanes8 even = {}, odd = {};
    RC4WIDESTEP(0) RC4WIDESTEP(1) RC4WIDESTEP(2) RC4WIDESTEP(3)
    RC4WIDESTEP(4) RC4WIDESTEP(5) RC4WIDESTEP(6) RC4WIDESTEP(7)
    base = (base + 8) & 255;
    // Keystream byte b is in the low byte of lane b/2 of even (b even) or
    // odd (b odd); interleave them in memory order.
    const lanes8 ks = std::endian::native == std::endian::little ? even | (odd << 8)
                                                                   : odd | (even << 8);
    uint64_t x, y;
    memcpy(&x, src, 8);
    memcpy(&y, &ks, 8);
    x ^= y;
    memcpy(dst, &x, 8);
    src += 8;
    dst += 8;
  }
  k += 8 * groups;
  i = (base - 1) & 255;
  j &= 255;
  for (; k < len; k++) out[k] = in[k] ^ uint8_t(rc4step(s, i, j));

  // Copy S back, wiping the working copy in the same pass: the entries are
  // in registers there anyway, and a separate wipe of the 1 KB costs about
  // as much as the copy. The barrier keeps the zeros from being dropped as
  // stores to a dead array.
  for (int n = 0; n < 256; n++) {
    st[n] = uint8_t(s[n]);
    s[n] = 0;
  }
  compiler_barrier(s);
  st[256] = uint8_t(i);
  st[257] = uint8_t(j);
}

#undef RC4WIDESTEP

void rc4xor(uint8_t* st, const uint8_t* in, uint8_t* out, uint32_t len) {
  if (len < RC4WIDEMIN)
    rc4xorbyte(st, in, out, len);
  else
    rc4xorwide(st, in, out, len);
}
