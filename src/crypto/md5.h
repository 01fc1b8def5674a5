// MD5 (RFC 1321), used only to seed a new seed file.
#pragma once
#include <cstdint>

struct md5ctx {
  uint32_t state[4];     // A, B, C, D
  uint32_t bitlo;        // bit count, low word
  uint32_t bithi;        // bit count, high word
  uint8_t block[64];
};

void md5init(md5ctx* ctx);
void md5update(md5ctx* ctx, const uint8_t* data, uint32_t len);
// md5final(out, ctx): the digest; then the whole context is zeroed.
void md5final(uint8_t out[16], md5ctx* ctx);
// md5hash(data, len, out): MD5 of one byte run.
void md5hash(const uint8_t* data, uint32_t len, uint8_t out[16]);
