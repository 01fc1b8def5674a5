// RC4: the key scheduling and keystream generation as published, on a state
// of S followed by the indices i and j.
#include "crypto/rc4.h"

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

void rc4xor(uint8_t* st, const uint8_t* in, uint8_t* out, uint32_t len) {
  // The indices live in registers for the whole run; only S is in memory.
  uint8_t* s = st;
  unsigned i = st[256], j = st[257];
  for (uint32_t k = 0; k < len; k++) {
    i = (i + 1) & 255;
    unsigned si = s[i];
    j = (j + si) & 255;
    unsigned sj = s[j];
    s[i] = uint8_t(sj);
    s[j] = uint8_t(si);
    out[k] = in[k] ^ s[(si + sj) & 255];
  }
  st[256] = uint8_t(i);
  st[257] = uint8_t(j);
}
