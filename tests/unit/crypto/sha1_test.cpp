#include "crypto/sha1.h"

#include <cstring>
#include <random>

#include "crypto/sha1_impl.h"
#include "sha1paths.h"

namespace {

std::string sha1hex(const std::vector<uint8_t>& m) {
  sha1ctx ctx;
  uint8_t d[20];
  sha1init(&ctx);
  sha1update(&ctx, m.data(), static_cast<uint32_t>(m.size()));
  sha1final(d, &ctx);
  return hex(d, 20);
}

// sha1pieces(m, cuts): the digest of m fed in pieces that end at each cut.
std::string sha1pieces(const std::vector<uint8_t>& m, std::vector<size_t> cuts) {
  sha1ctx ctx;
  uint8_t d[20];
  sha1init(&ctx);
  size_t from = 0;
  cuts.push_back(m.size());
  for (size_t to : cuts) {
    sha1update(&ctx, m.data() + from, static_cast<uint32_t>(to - from));
    from = to;
  }
  sha1final(d, &ctx);
  return hex(d, 20);
}

class Sha1 : public Sha1Paths {};
INSTANTIATE_SHA1_PATHS(Sha1);

// FIPS 180-1, appendices A, B and C. Order: message, digest.
TEST_P(Sha1, StandardExamples) {
  EXPECT_EQ(sha1hex(bytes("abc")), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(sha1hex(bytes("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
            "84983e441c3bd26ebaae4aa1f95129e5e54670f1");

  // One million 'a', once whole and once in uneven pieces.
  const std::vector<uint8_t> million(1000000, 'a');
  EXPECT_EQ(sha1hex(million), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
  sha1ctx ctx;
  uint8_t d[20];
  sha1init(&ctx);
  for (size_t done = 0, step = 1; done < million.size(); done += step, step = step * 7 % 1013 + 1)
    sha1update(&ctx, million.data() + done, static_cast<uint32_t>(std::min(step, million.size() - done)));
  sha1final(d, &ctx);
  EXPECT_EQ(hex(d, 20), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

// Around the padding boundaries the 0x80 marker and the length do or do not
// fit in the last block; every way of cutting the run must give the same
// digest as OpenSSL.
TEST_P(Sha1, PaddingBoundariesInAnyPieces) {
  for (size_t len : {0, 1, 55, 56, 63, 64, 65, 119, 120, 127, 128}) {
    std::vector<uint8_t> m(len);
    for (size_t i = 0; i < len; i++) m[i] = static_cast<uint8_t>(i * 37 + len);
    const std::string want = refsha1(m);
    EXPECT_EQ(sha1hex(m), want) << len;
    for (size_t i = 0; i <= len; i++) {
      EXPECT_EQ(sha1pieces(m, {i}), want) << len << " cut " << i;
      for (size_t j = i; j <= len; j++) ASSERT_EQ(sha1pieces(m, {i, j}), want) << len << " cuts " << i << "," << j;
    }
  }
}

TEST_P(Sha1, RandomRunsMatchOpenSSL) {
  std::mt19937 rng(1801);
  for (int n = 0; n < 400; n++) {
    const size_t len = n < 300 ? static_cast<size_t>(n) : rng() % 20000;
    std::vector<uint8_t> m(len);
    for (auto& b : m) b = static_cast<uint8_t>(rng());
    std::vector<size_t> cuts;
    for (size_t at = 0; len != 0 && cuts.size() < 6;) {
      at += rng() % (len / 3 + 1);
      if (at > len) break;
      cuts.push_back(at);
    }
    const std::string want = refsha1(m);
    ASSERT_EQ(sha1hex(m), want) << len;
    ASSERT_EQ(sha1pieces(m, cuts), want) << len;
  }
}

// finalwith(ctx, lenhi, lenlo): the digest that ctx must give when it holds
// 3 pending bytes 1, 2, 3 and the message is lenhi:lenlo bits long.
std::string finalwith(const sha1ctx& ctx, uint32_t lenhi, uint32_t lenlo) {
  uint32_t h[5];
  memcpy(h, ctx.h, sizeof h);
  uint8_t last[64] = {1, 2, 3, 0x80};
  store32be(last + 56, lenhi);
  store32be(last + 60, lenlo);
  sha1blocks_portable(h, last, 1);
  uint8_t d[20];
  for (int i = 0; i < 5; i++) store32be(d + 4 * i, h[i]);
  return hex(d, 20);
}

// The byte count is 64 bits in two words: the low word carries into the
// high one, and the final block holds count * 8 across both words. The
// counts are set by hand, as if gigabytes had gone through.
TEST_P(Sha1, ByteCountSpansBothWords) {
  const uint8_t data[64] = {1, 2, 3};
  sha1ctx ctx;
  uint8_t got[20];

  sha1init(&ctx);
  ctx.countlo = 0xFFFFFFC0;  // 2^32 - 64 bytes taken, no partial block
  sha1update(&ctx, data, 64);
  EXPECT_EQ(ctx.countlo, 0u);
  EXPECT_EQ(ctx.counthi, 1u);
  sha1update(&ctx, data, 3);
  std::string want = finalwith(ctx, 0x00000008, 0x00000018);  // (2^32 + 3) * 8
  sha1final(got, &ctx);
  EXPECT_EQ(hex(got, 20), want);

  sha1init(&ctx);
  ctx.counthi = 5;
  ctx.countlo = 0xE0000000;  // the top bits of the low word move to the high word
  sha1update(&ctx, data, 3);
  want = finalwith(ctx, 5 * 8 + 7, 0x00000018);
  sha1final(got, &ctx);
  EXPECT_EQ(hex(got, 20), want);
}

// sha1final leaves the finished state in the context instead of clearing it.
TEST_P(Sha1, FinalKeepsContext) {
  sha1ctx ctx;
  uint8_t d[20];
  sha1init(&ctx);
  sha1update(&ctx, reinterpret_cast<const uint8_t*>("abc"), 3);
  sha1final(d, &ctx);
  EXPECT_EQ(ctx.countlo, 3u);
  for (int i = 0; i < 5; i++) EXPECT_EQ(ctx.h[i], load32be(d + 4 * i));
}

}  // namespace
