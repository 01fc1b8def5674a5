// HMAC-SHA1 (RFC 2104) with block size 64 and digest size 20.
#include "crypto/hmac.h"

#include "crypto/secure.h"

void hmacinit(hmacctx* ctx, const uint8_t* key, uint32_t keylen) {
  // Replace a key longer than one block by its digest, hashed in the
  // context itself; a key of exactly 64 bytes is used as it is.
  uint8_t digest[20];
  if (keylen > 64) {
    sha1init(&ctx->sha);
    sha1update(&ctx->sha, key, keylen);
    sha1final(digest, &ctx->sha);
    key = digest;
    keylen = 20;
  }

  // Build the inner key block in the outer-key field and start the inner hash.
  for (uint32_t i = 0; i < 64; i++) ctx->okey[i] = (i < keylen ? key[i] : 0) ^ 0x36;
  sha1init(&ctx->sha);
  sha1update(&ctx->sha, ctx->okey, 64);

  // Turn the field into the outer key block: key XOR 0x5C, padded with 0x5C.
  for (uint8_t& b : ctx->okey) b ^= 0x36 ^ 0x5C;
  secure_zero(digest, sizeof digest);
}

void hmacupdate(hmacctx* ctx, const uint8_t* data, uint32_t len) {
  sha1update(&ctx->sha, data, len);
}

void hmacfinal(uint8_t out[20], hmacctx* ctx) {
  uint8_t inner[20];
  sha1final(inner, &ctx->sha);
  sha1init(&ctx->sha);
  sha1update(&ctx->sha, ctx->okey, 64);
  sha1update(&ctx->sha, inner, 20);
  sha1final(out, &ctx->sha);
  secure_zero(inner, sizeof inner);
}
