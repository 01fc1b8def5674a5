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
// len bytes; out may equal in. The same as len calls of rc4byte. Calls of
// RC4WIDEMIN bytes or more take rc4xorwide, shorter ones rc4xorbyte.
void rc4xor(uint8_t* st, const uint8_t* in, uint8_t* out, uint32_t len);

// rc4xorbyte / rc4xorwide(st, in, out, len): the two ways rc4xor works, with
// its arguments and result. rc4xorbyte steps on the bytes of st; rc4xorwide
// copies S into a table of 32-bit entries for the call, which pays on
// processors where neighbouring byte entries slow each other down, once the
// call is long enough to repay the copy. RC4WIDEMIN is where the copy began
// to pay on an AMD EPYC (Zen 3, family 25 model 1, under KVM, GCC 12 -O3),
// each path timed alone on calls of 48 to 72 bytes: the two took the same
// time at 56 bytes and the wide one 5 to 7% less at 64 on an idle machine;
// with other work on the machine the wide path, which needs more instructions
// per cycle, was the slower one up to 64 bytes and the faster from 72.
void rc4xorbyte(uint8_t* st, const uint8_t* in, uint8_t* out, uint32_t len);
void rc4xorwide(uint8_t* st, const uint8_t* in, uint8_t* out, uint32_t len);
constexpr uint32_t RC4WIDEMIN = 64;
