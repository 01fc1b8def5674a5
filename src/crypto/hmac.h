// HMAC-SHA1 (RFC 2104).
#pragma once
#include <cstdint>

#include "crypto/sha1.h"

struct hmacctx {
  sha1ctx sha;           // running inner hash, later the outer hash
  uint8_t okey[64];      // outer key block: key XOR 0x5C, padded with 0x5C
};

void hmacinit(hmacctx* ctx, const uint8_t* key, uint32_t keylen);
void hmacupdate(hmacctx* ctx, const uint8_t* data, uint32_t len);
// hmacfinal(out, ctx): the MAC; ctx must be keyed again before reuse.
void hmacfinal(uint8_t out[20], hmacctx* ctx);
