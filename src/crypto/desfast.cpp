// Triple DES on packed 32-bit words, for bulk data. Each round is eight
// lookups in desspbox, which folds the S-boxes and P together; the halves are
// kept rotated left by one bit so that every 6-bit S-box input is a plain
// shift and mask of one word. The middle FP and IP of the three DES
// operations cancel, so only the outer ones are done.
#include <bit>
#include <cstring>

#include "crypto/des.h"
#include "crypto/destables.h"

namespace {

inline uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

// Six schedule bytes of 0 or 1 as one number, first byte most significant.
// On little-endian machines one multiplication gathers them: byte k sits at
// bit 8k and the factor's term 2^(61-9k) moves it to bit 61-k; no two terms
// of the product meet, so nothing carries.
inline uint32_t group6(const uint8_t* b) {
  if constexpr (std::endian::native == std::endian::little) {
    uint32_t lo;
    uint16_t hi;
    memcpy(&lo, b, 4);
    memcpy(&hi, b + 4, 2);
    uint64_t x = lo | uint64_t{hi} << 32;
    return uint32_t((x * 0x2010080402010000ULL) >> 56) & 63;
  } else {
    return uint32_t(b[0] << 5 | b[1] << 4 | b[2] << 3 | b[3] << 2 | b[4] << 1 | b[5]);
  }
}

// Pack one 48-byte subkey: S-box groups 1, 3, 5, 7 into the first word and
// 2, 4, 6, 8 into the second, one group per byte, highest byte first.
inline void packsubkey(uint32_t* pk, const uint8_t* k) {
  pk[0] = group6(k) << 24 | group6(k + 12) << 16 | group6(k + 24) << 8 | group6(k + 36);
  pk[1] = group6(k + 6) << 24 | group6(k + 18) << 16 | group6(k + 30) << 8 | group6(k + 42);
}

// The round function on the rotated right half and one packed subkey.
inline uint32_t fround(uint32_t r, const uint32_t* k) {
  const auto& sp = desspbox;
  uint32_t t = rotr(r, 4) ^ k[0];
  uint32_t f = sp[0][(t >> 24) & 63] ^ sp[2][(t >> 16) & 63] ^ sp[4][(t >> 8) & 63] ^ sp[6][t & 63];
  t = r ^ k[1];
  return f ^ sp[1][(t >> 24) & 63] ^ sp[3][(t >> 16) & 63] ^ sp[5][(t >> 8) & 63] ^ sp[7][t & 63];
}

// Sixteen rounds, then the swap of the halves that ends one DES operation.
inline void des16(uint32_t& l, uint32_t& r, const uint32_t* k) {
  for (int i = 0; i < 16; i += 2) {
    l ^= fround(r, k + 2 * i);
    r ^= fround(l, k + 2 * i + 2);
  }
  uint32_t t = l;
  l = r;
  r = t;
}

}  // namespace

void des3pack(uint32_t* pk, const uint8_t* ks) {
  // Key 1 and key 3 encrypt (round 1 first); key 2 decrypts (round 16 first).
  for (int r = 0; r < 16; r++) {
    packsubkey(pk + 2 * r, ks + 48 * r);
    packsubkey(pk + 32 + 2 * r, ks + DESKSLEN + 48 * (15 - r));
    packsubkey(pk + 64 + 2 * r, ks + 2 * DESKSLEN + 48 * r);
  }
}

void des3fast(const uint32_t* pk, uint32_t* blk) {
  // Initial permutation, one nibble of the block at a time.
  uint64_t x = uint64_t{blk[0]} << 32 | blk[1];
  uint64_t y = 0;
  for (int n = 0; n < 16; n++) y ^= desipnib[n][(x >> (60 - 4 * n)) & 15];
  uint32_t l = uint32_t(y >> 32), r = uint32_t(y);

  des16(l, r, pk);
  des16(l, r, pk + 32);
  des16(l, r, pk + 64);

  // Final permutation of R16 L16, which the last swap left in l and r.
  x = uint64_t{l} << 32 | r;
  y = 0;
  for (int n = 0; n < 16; n++) y ^= desfpnib[n][(x >> (60 - 4 * n)) & 15];
  blk[0] = uint32_t(y >> 32);
  blk[1] = uint32_t(y);
}
