// DES tables as FIPS 46-3 prints them, and the packed lookup tables that the
// fast block function uses, derived from them at compile time so that the
// two forms cannot drift apart.
#include "crypto/destables.h"

#include <array>

// Initial permutation IP.
constexpr uint8_t desip[64] = {
    58, 50, 42, 34, 26, 18, 10, 2, 60, 52, 44, 36, 28, 20, 12, 4,
    62, 54, 46, 38, 30, 22, 14, 6, 64, 56, 48, 40, 32, 24, 16, 8,
    57, 49, 41, 33, 25, 17, 9,  1, 59, 51, 43, 35, 27, 19, 11, 3,
    61, 53, 45, 37, 29, 21, 13, 5, 63, 55, 47, 39, 31, 23, 15, 7};

// Final permutation, the inverse of IP.
constexpr uint8_t desfp[64] = {
    40, 8, 48, 16, 56, 24, 64, 32, 39, 7, 47, 15, 55, 23, 63, 31,
    38, 6, 46, 14, 54, 22, 62, 30, 37, 5, 45, 13, 53, 21, 61, 29,
    36, 4, 44, 12, 52, 20, 60, 28, 35, 3, 43, 11, 51, 19, 59, 27,
    34, 2, 42, 10, 50, 18, 58, 26, 33, 1, 41, 9,  49, 17, 57, 25};

// Expansion E of the 32-bit right half to 48 bits.
constexpr uint8_t dese[48] = {
    32, 1,  2,  3,  4,  5,  4,  5,  6,  7,  8,  9,  8,  9,  10, 11,
    12, 13, 12, 13, 14, 15, 16, 17, 16, 17, 18, 19, 20, 21, 20, 21,
    22, 23, 24, 25, 24, 25, 26, 27, 28, 29, 28, 29, 30, 31, 32, 1};

// Permutation P of the 32 S-box output bits.
constexpr uint8_t desp[32] = {16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
                               2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25};

// Permuted choice 1: the 56 key bits that are not parity bits, as C then D.
constexpr uint8_t despc1[56] = {
    57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18, 10, 2,  59, 51, 43,
    35, 27, 19, 11, 3,  60, 52, 44, 36, 63, 55, 47, 39, 31, 23, 15, 7,  62, 54,
    46, 38, 30, 22, 14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4};

// Permuted choice 2: the 48 bits of C D that form one subkey.
constexpr uint8_t despc2[48] = {
    14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10, 23, 19, 12, 4,
    26, 8,  16, 7,  27, 20, 13, 2,  41, 52, 31, 37, 47, 55, 30, 40,
    51, 45, 33, 48, 44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};

// The S-boxes as printed: entry 16 * row + column of S-box s+1, where the
// row is the first and last input bit and the column the middle four.
constexpr uint8_t dessprint[8][64] = {
    {14, 4,  13, 1, 2,  15, 11, 8,  3,  10, 6,  12, 5,  9,  0, 7,
     0,  15, 7,  4, 14, 2,  13, 1,  10, 6,  12, 11, 9,  5,  3, 8,
     4,  1,  14, 8, 13, 6,  2,  11, 15, 12, 9,  7,  3,  10, 5, 0,
     15, 12, 8,  2, 4,  9,  1,  7,  5,  11, 3,  14, 10, 0,  6, 13},
    {15, 1,  8,  14, 6,  11, 3,  4,  9,  7, 2,  13, 12, 0, 5,  10,
     3,  13, 4,  7,  15, 2,  8,  14, 12, 0, 1,  10, 6,  9, 11, 5,
     0,  14, 7,  11, 10, 4,  13, 1,  5,  8, 12, 6,  9,  3, 2,  15,
     13, 8,  10, 1,  3,  15, 4,  2,  11, 6, 7,  12, 0,  5, 14, 9},
    {10, 0,  9,  14, 6, 3,  15, 5,  1,  13, 12, 7,  11, 4,  2,  8,
     13, 7,  0,  9,  3, 4,  6,  10, 2,  8,  5,  14, 12, 11, 15, 1,
     13, 6,  4,  9,  8, 15, 3,  0,  11, 1,  2,  12, 5,  10, 14, 7,
     1,  10, 13, 0,  6, 9,  8,  7,  4,  15, 14, 3,  11, 5,  2,  12},
    {7,  13, 14, 3, 0,  6,  9,  10, 1,  2, 8, 5,  11, 12, 4,  15,
     13, 8,  11, 5, 6,  15, 0,  3,  4,  7, 2, 12, 1,  10, 14, 9,
     10, 6,  9,  0, 12, 11, 7,  13, 15, 1, 3, 14, 5,  2,  8,  4,
     3,  15, 0,  6, 10, 1,  13, 8,  9,  4, 5, 11, 12, 7,  2,  14},
    {2,  12, 4,  1,  7,  10, 11, 6,  8,  5,  3,  15, 13, 0, 14, 9,
     14, 11, 2,  12, 4,  7,  13, 1,  5,  0,  15, 10, 3,  9, 8,  6,
     4,  2,  1,  11, 10, 13, 7,  8,  15, 9,  12, 5,  6,  3, 0,  14,
     11, 8,  12, 7,  1,  14, 2,  13, 6,  15, 0,  9,  10, 4, 5,  3},
    {12, 1,  10, 15, 9, 2,  6,  8,  0,  13, 3,  4,  14, 7,  5,  11,
     10, 15, 4,  2,  7, 12, 9,  5,  6,  1,  13, 14, 0,  11, 3,  8,
     9,  14, 15, 5,  2, 8,  12, 3,  7,  0,  4,  10, 1,  13, 11, 6,
     4,  3,  2,  12, 9, 5,  15, 10, 11, 14, 1,  7,  6,  0,  8,  13},
    {4,  11, 2,  14, 15, 0, 8,  13, 3,  12, 9, 7,  5,  10, 6, 1,
     13, 0,  11, 7,  4,  9, 1,  10, 14, 3,  5, 12, 2,  15, 8, 6,
     1,  4,  11, 13, 12, 3, 7,  14, 10, 15, 6, 8,  0,  5,  9, 2,
     6,  11, 13, 8,  1,  4, 10, 7,  9,  5,  0, 15, 14, 2,  3, 12},
    {13, 2,  8,  4, 6,  15, 11, 1,  10, 9,  3,  14, 5,  0,  12, 7,
     1,  15, 13, 8, 10, 3,  7,  4,  12, 5,  6,  11, 0,  14, 9,  2,
     7,  11, 4,  1, 9,  12, 14, 2,  0,  6,  10, 13, 15, 3,  5,  8,
     2,  1,  14, 7, 4,  10, 8,  13, 15, 12, 9,  0,  3,  5,  6,  11}};

// Left rotations of C and D per round.
constexpr uint8_t desshift[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};

namespace {

constexpr uint32_t rotl1(uint32_t x) { return (x << 1) | (x >> 31); }
constexpr uint32_t rotr1(uint32_t x) { return (x >> 1) | (x << 31); }

// Rotate both 32-bit halves of a 64-bit block, as the packed rounds keep them.
constexpr uint64_t rotlhalves(uint64_t x) {
  return uint64_t{rotl1(uint32_t(x >> 32))} << 32 | rotl1(uint32_t(x));
}
constexpr uint64_t rotrhalves(uint64_t x) {
  return uint64_t{rotr1(uint32_t(x >> 32))} << 32 | rotr1(uint32_t(x));
}

// Apply a 64-bit permutation table (1-based source bits, bit 1 most significant).
constexpr uint64_t permute64(const uint8_t (&tab)[64], uint64_t x) {
  uint64_t y = 0;
  for (int i = 0; i < 64; i++) y |= ((x >> (64 - tab[i])) & 1) << (63 - i);
  return y;
}

constexpr std::array<std::array<uint8_t, 64>, 8> sboxbyinput() {
  std::array<std::array<uint8_t, 64>, 8> t{};
  for (int s = 0; s < 8; s++)
    for (int v = 0; v < 64; v++) {
      int row = ((v >> 4) & 2) | (v & 1);
      int col = (v >> 1) & 15;
      t[s][v] = dessprint[s][16 * row + col];
    }
  return t;
}

constexpr std::array<std::array<uint32_t, 64>, 8> spbox() {
  std::array<std::array<uint32_t, 64>, 8> t{};
  const auto sbox = sboxbyinput();
  for (int s = 0; s < 8; s++)
    for (int v = 0; v < 64; v++) {
      uint32_t x = uint32_t{sbox[s][v]} << (28 - 4 * s);
      uint32_t y = 0;
      for (int i = 0; i < 32; i++) y |= ((x >> (32 - desp[i])) & 1) << (31 - i);
      t[s][v] = rotl1(y);
    }
  return t;
}

constexpr std::array<std::array<uint64_t, 16>, 16> ipnib() {
  std::array<std::array<uint64_t, 16>, 16> t{};
  for (int n = 0; n < 16; n++)
    for (int v = 0; v < 16; v++)
      t[n][v] = rotlhalves(permute64(desip, uint64_t(v) << (60 - 4 * n)));
  return t;
}

constexpr std::array<std::array<uint64_t, 16>, 16> fpnib() {
  std::array<std::array<uint64_t, 16>, 16> t{};
  for (int n = 0; n < 16; n++)
    for (int v = 0; v < 16; v++)
      t[n][v] = permute64(desfp, rotrhalves(uint64_t(v) << (60 - 4 * n)));
  return t;
}

// Guards against a mistyped entry: FP undoes IP, every S-box row holds each
// value 0 to 15 once, and PC-1 picks every non-parity bit once.
constexpr bool fpinvertsip() {
  for (int i = 0; i < 64; i++)
    if (desip[desfp[i] - 1] != i + 1) return false;
  return true;
}
constexpr bool sboxrowsok() {
  for (int s = 0; s < 8; s++)
    for (int row = 0; row < 4; row++) {
      unsigned seen = 0;
      for (int c = 0; c < 16; c++) seen |= 1u << dessprint[s][16 * row + c];
      if (seen != 0xFFFF) return false;
    }
  return true;
}
constexpr bool pc1ok() {
  uint64_t seen = 0;
  for (uint8_t b : despc1) seen |= uint64_t{1} << (b - 1);
  return seen == 0x7F7F7F7F7F7F7F7FULL;
}
static_assert(fpinvertsip());
static_assert(sboxrowsok());
static_assert(pc1ok());

}  // namespace

constexpr std::array<std::array<uint8_t, 64>, 8> dessbox = sboxbyinput();
constexpr std::array<std::array<uint32_t, 64>, 8> desspbox = spbox();
constexpr std::array<std::array<uint64_t, 16>, 16> desipnib = ipnib();
constexpr std::array<std::array<uint64_t, 16>, 16> desfpnib = fpnib();
