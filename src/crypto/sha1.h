// SHA-1 (FIPS 180-1).
#pragma once
#include <cstdint>

struct sha1ctx {
  uint32_t countlo;      // byte count, low 32 bits
  uint32_t counthi;      // byte count, high 32 bits
  uint32_t h[5];         // chaining value H0..H4
  uint8_t block[64];     // bytes of the current incomplete block
};

void sha1init(sha1ctx* ctx);
void sha1update(sha1ctx* ctx, const uint8_t* data, uint32_t len);
// sha1final(out, ctx): the digest; ctx is left finished, not reset.
void sha1final(uint8_t out[20], sha1ctx* ctx);
