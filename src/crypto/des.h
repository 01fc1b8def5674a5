// DES and triple DES blocks (FIPS 46-3) for the cipher context. Internal:
// only the cipher context and its tests use this header.
#pragma once
#include <cstdint>

// Size of one expanded key schedule: 16 subkeys of 48 bytes, one byte (0 or
// 1) per subkey bit in the bit order of permuted choice 2, round 1 first.
constexpr uint32_t DESKSLEN = 768;

// deskeysched(ks, key): the key schedule of the 8-byte key into the expanded
// schedule ks (DESKSLEN bytes); the parity bits of the key are ignored.
void deskeysched(uint8_t* ks, const uint8_t* key);

// desblock(ks, out, in, decr): one DES block from in to out (8 bytes each,
// most significant bit first) under the expanded schedule ks; decr 0
// encrypts, 1 decrypts (the subkeys in reverse order). Works on bits held one
// per byte; out may equal in.
void desblock(const uint8_t* ks, uint8_t* out, const uint8_t* in, int decr);

// des3block(ks, out, in): triple DES of one block: encrypt under the first
// schedule of ks, decrypt under the second, encrypt under the third (three
// expanded schedules one after the other). out may equal in.
void des3block(const uint8_t* ks, uint8_t* out, const uint8_t* in);

// The packed form of the same triple DES encryption, for bulk data: 48
// round subkeys as pairs of 32-bit words, in the order the rounds use them.
constexpr uint32_t DES3PKLEN = 96;

// des3pack(pk, ks): pack the three expanded schedules ks into pk
// (DES3PKLEN words) for des3fast. pk holds key material: wipe it after use.
void des3pack(uint32_t* pk, const uint8_t* ks);

// des3fast(pk, blk): triple DES encryption of the block blk in place, given as
// two 32-bit words (bytes 0-3 and 4-7, most significant byte first); the same
// result as des3block on the schedules pk was packed from.
void des3fast(const uint32_t* pk, uint32_t* blk);
