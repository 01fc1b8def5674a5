// RC4 key scheduling and keystream for the cipher context. Internal: only the
// cipher context and its tests use this header.
#pragma once
#include <cstdint>

// Size of the RC4 state: the permutation S (256 bytes), then i, then j.
constexpr uint32_t RC4STATELEN = 258;

// rc4setup(st, key, keylen): the standard key scheduling of RC4 into the
// state st (RC4STATELEN bytes), key bytes taken cyclically (keylen 1 to 256);
// i and j start at 0.
void rc4setup(uint8_t* st, const uint8_t* key, uint32_t keylen);

// rc4byte(st): the next keystream byte; updates S, i and j in st.
uint8_t rc4byte(uint8_t* st);

// rc4xor(st, in, out, len): out[k] = in[k] XOR the next keystream byte, for
// len bytes; out may equal in. The same as len calls of rc4byte.
void rc4xor(uint8_t* st, const uint8_t* in, uint8_t* out, uint32_t len);
