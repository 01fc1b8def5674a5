// RC4: the key scheduling and keystream generation as published, on a state
// of S followed by the indices i and j.
#include "crypto/rc4.h"

#include <bit>
#include <cstring>

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

// One RC4 step on S with the indices in registers; yields the keystream byte.
static inline unsigned rc4step(uint8_t* s, unsigned& i, unsigned& j) {
  i = (i + 1) & 255;
  unsigned si = s[i];
  j = (j + si) & 255;
  unsigned sj = s[j];
  s[i] = uint8_t(sj);
  s[j] = uint8_t(si);
  return s[(si + sj) & 255];
}

// Where byte b of a word loaded from memory sits in the machine's byte order.
static constexpr int shift(int b) {
  return std::endian::native == std::endian::little ? 8 * b : 56 - 8 * b;
}

void rc4xor(uint8_t* st, const uint8_t* in, uint8_t* out, uint32_t len) {
  // The indices live in registers for the whole run; only S is in memory.
  // Eight keystream bytes are gathered into one word and applied together,
  // after all eight input bytes of that group have been read.
  uint8_t* s = st;
  unsigned i = st[256], j = st[257];
  uint32_t k = 0;
  for (; k + 8 <= len; k += 8) {
    uint64_t ks = 0;
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
