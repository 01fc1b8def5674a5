#include "crypto/md5.h"

#include <cstring>

#include "crypto/bytes.h"
#include "crypto/secure.h"

namespace {

// MD5_T[i]: the additive constant of step i (0 to 63), the integer part of
// 2^32 * |sin(i + 1)| (RFC 1321, section 3.4).
const uint32_t MD5_T[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

// MD5_S[r][j]: the left rotation of step j modulo 4 in round r (0 to 3).
const int MD5_S[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

// MD5_K[r]: first message word and word stride of round r; step j of the round
// takes word (first + stride * j) mod 16.
const int MD5_K[4][2] = {{0, 1}, {1, 5}, {5, 3}, {0, 7}};

inline uint32_t rotl(uint32_t v, int n) { return (v << n) | (v >> (32 - n)); }

// Compress one 64-byte block into the state (RFC 1321, section 3.4).
void md5block(uint32_t state[4], const uint8_t* block) {
  uint32_t m[16];
  for (int i = 0; i < 16; i++) m[i] = load32le(block + 4 * i);
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  for (int i = 0; i < 64; i++) {
    int r = i / 16;
    uint32_t f;
    switch (r) {
      case 0: f = (b & c) | (~b & d); break;
      case 1: f = (b & d) | (c & ~d); break;
      case 2: f = b ^ c ^ d; break;
      default: f = c ^ (b | ~d); break;
    }
    uint32_t w = m[(MD5_K[r][0] + MD5_K[r][1] * i) & 15];
    uint32_t t = d;
    d = c;
    c = b;
    b = b + rotl(a + f + MD5_T[i] + w, MD5_S[r][i & 3]);
    a = t;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  // The message words may be seed material.
  secure_zero(m, sizeof m);
}

}  // namespace

void md5init(md5ctx* ctx) {
  ctx->state[0] = 0x67452301;
  ctx->state[1] = 0xefcdab89;
  ctx->state[2] = 0x98badcfe;
  ctx->state[3] = 0x10325476;
  ctx->bitlo = 0;
  ctx->bithi = 0;
}

void md5update(md5ctx* ctx, const uint8_t* data, uint32_t len) {
  // Bytes already waiting in the block buffer, from the bit count.
  uint32_t have = (ctx->bitlo >> 3) & 63;
  // Add len * 8 to the 64-bit bit count, carrying into the high word.
  uint32_t lo = ctx->bitlo + (len << 3);
  if (lo < ctx->bitlo) ctx->bithi++;
  ctx->bithi += len >> 29;
  ctx->bitlo = lo;

  // Top up a partial block first, then compress whole blocks straight from data.
  if (have > 0) {
    uint32_t take = 64 - have;
    if (len < take) {
      memcpy(ctx->block + have, data, len);
      return;
    }
    memcpy(ctx->block + have, data, take);
    md5block(ctx->state, ctx->block);
    data += take;
    len -= take;
  }
  for (; len >= 64; data += 64, len -= 64) md5block(ctx->state, data);
  if (len > 0) memcpy(ctx->block, data, len);
}

void md5final(uint8_t out[16], md5ctx* ctx) {
  // Keep the bit count of the message before the padding is added.
  uint8_t count[8];
  for (int i = 0; i < 4; i++) {
    count[i] = uint8_t(ctx->bitlo >> (8 * i));
    count[4 + i] = uint8_t(ctx->bithi >> (8 * i));
  }
  // Pad with 0x80 and zeros up to 56 bytes modulo 64, then append the count.
  static const uint8_t pad[64] = {0x80};
  uint32_t have = (ctx->bitlo >> 3) & 63;
  uint32_t padlen = have < 56 ? 56 - have : 120 - have;
  md5update(ctx, pad, padlen);
  md5update(ctx, count, 8);
  for (int i = 0; i < 4; i++)
    for (int j = 0; j < 4; j++) out[4 * i + j] = uint8_t(ctx->state[i] >> (8 * j));
  secure_zero(ctx, sizeof *ctx);
}

void md5hash(const uint8_t* data, uint32_t len, uint8_t out[16]) {
  md5ctx ctx;
  md5init(&ctx);
  md5update(&ctx, data, len);
  md5final(out, &ctx);
}
