// Constant tables of DES (FIPS 46-3) and the packed tables derived from them.
#pragma once
#include <array>
#include <cstdint>

// Permutations as published: entry i names the 1-based source bit of
// output bit i+1, bits counted from the most significant bit of byte 0.
extern const uint8_t desip[64];
extern const uint8_t desfp[64];
extern const uint8_t dese[48];
extern const uint8_t desp[32];
extern const uint8_t despc1[56];
extern const uint8_t despc2[48];

// desshift[r]: how far C and D rotate left before subkey r+1 is taken.
extern const uint8_t desshift[16];

// dessbox[s][v]: output of S-box s+1 for the 6-bit input v, first input bit
// most significant (so row and column need not be picked apart).
extern const std::array<std::array<uint8_t, 64>, 8> dessbox;

// desspbox[s][v]: S-box s+1 on input v followed by P, as a 32-bit round
// word (bit 1 most significant) rotated left by one bit.
extern const std::array<std::array<uint32_t, 64>, 8> desspbox;

// desipnib[n][v]: IP of a block whose only set bits are v in nibble n
// (nibble 0 holds bits 1-4); high word L, low word R, each rotated left by one.
extern const std::array<std::array<uint64_t, 16>, 16> desipnib;

// desfpnib[n][v]: the inverse: FP of the output halves R16 L16, given as a
// word pair rotated left by one, whose only set bits are v in nibble n.
extern const std::array<std::array<uint64_t, 16>, 16> desfpnib;
