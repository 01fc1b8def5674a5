#include "crypto/hmac.h"

#include <cstring>
#include <random>

#include "sha1paths.h"

namespace {

std::string hmachex(const std::vector<uint8_t>& key, const std::vector<uint8_t>& m, size_t piece) {
  hmacctx ctx;
  uint8_t d[20];
  hmacinit(&ctx, key.data(), static_cast<uint32_t>(key.size()));
  for (size_t at = 0; at < m.size(); at += piece)
    hmacupdate(&ctx, m.data() + at, static_cast<uint32_t>(std::min(piece, m.size() - at)));
  hmacfinal(d, &ctx);
  return hex(d, 20);
}

class Hmac : public Sha1Paths {};
INSTANTIATE_SHA1_PATHS(Hmac);

// RFC 2202, section 3 (HMAC-SHA-1 test cases 1 to 7). Order: key, data, digest.
struct hmacvector {
  std::vector<uint8_t> key, data;
  const char* digest;
};

TEST_P(Hmac, Rfc2202) {
  const hmacvector vectors[] = {
      {std::vector<uint8_t>(20, 0x0b), bytes("Hi There"), "b617318655057264e28bc0b6fb378c8ef146be00"},
      {bytes("Jefe"), bytes("what do ya want for nothing?"), "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
      {std::vector<uint8_t>(20, 0xaa), std::vector<uint8_t>(50, 0xdd), "125d7342b9ac11cd91a39af48aa17b4f63f175d3"},
      {unhex("0102030405060708090a0b0c0d0e0f10111213141516171819"), std::vector<uint8_t>(50, 0xcd),
       "4c9007f4026250c6bc8414f9bf50c86c2d7235da"},
      {std::vector<uint8_t>(20, 0x0c), bytes("Test With Truncation"), "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04"},
      {std::vector<uint8_t>(80, 0xaa), bytes("Test Using Larger Than Block-Size Key - Hash Key First"),
       "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
      {std::vector<uint8_t>(80, 0xaa),
       bytes("Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data"),
       "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"},
  };
  for (const auto& v : vectors) {
    EXPECT_EQ(hmachex(v.key, v.data, 1000), v.digest);
    EXPECT_EQ(hmachex(v.key, v.data, 1), v.digest);
  }
}

// Keys around the block size: up to 64 bytes are used as they are, longer
// ones are replaced by their digest. The context shows which happened: the
// outer key block is the (possibly hashed) key XOR 0x5C, padded with 0x5C,
// and the inner hash has taken one block.
TEST_P(Hmac, KeysAroundTheBlockSize) {
  std::mt19937 rng(2104);
  for (size_t keylen : {0, 1, 20, 63, 64, 65, 80, 200}) {
    std::vector<uint8_t> key(keylen);
    for (auto& b : key) b = static_cast<uint8_t>(rng());
    hmacctx ctx;
    hmacinit(&ctx, key.data(), static_cast<uint32_t>(keylen));

    std::vector<uint8_t> used = key;
    if (keylen > 64) {
      used.resize(20);
      unsigned n = 0;
      EVP_Digest(key.data(), key.size(), used.data(), &n, EVP_sha1(), nullptr);
    }
    for (size_t i = 0; i < 64; i++)
      ASSERT_EQ(ctx.okey[i], (i < used.size() ? used[i] : 0) ^ 0x5C) << keylen << " " << i;
    EXPECT_EQ(ctx.sha.countlo, 64u);
    EXPECT_EQ(ctx.sha.counthi, 0u);

    // The inner hash started from the inner key block.
    uint32_t h[5];
    uint8_t ikey[64];
    for (size_t i = 0; i < 64; i++) ikey[i] = (i < used.size() ? used[i] : 0) ^ 0x36;
    memcpy(h, SHA1_IV, sizeof h);
    sha1blocks_portable(h, ikey, 1);
    EXPECT_EQ(memcmp(h, ctx.sha.h, sizeof h), 0) << keylen;

    const std::vector<uint8_t> m = bytes("message");
    EXPECT_EQ(hmachex(key, m, 3), refhmac(key, m)) << keylen;
  }
}

// A keyed context copied by value gives independent MACs: PBKDF2 and the
// record check sums key once and copy.
TEST_P(Hmac, CopiesOfAKeyedContextAreIndependent) {
  const std::vector<uint8_t> key = bytes("secret"), m1 = bytes("first"), m2(300, 'x');
  hmacctx keyed, a, b;
  hmacinit(&keyed, key.data(), static_cast<uint32_t>(key.size()));
  a = keyed;
  b = keyed;
  uint8_t da[20], db[20];
  hmacupdate(&a, m1.data(), static_cast<uint32_t>(m1.size()));
  hmacupdate(&b, m2.data(), static_cast<uint32_t>(m2.size()));
  hmacfinal(db, &b);
  hmacfinal(da, &a);
  EXPECT_EQ(hex(da, 20), refhmac(key, m1));
  EXPECT_EQ(hex(db, 20), refhmac(key, m2));

  // Keying again after hmacfinal starts a fresh MAC.
  hmacinit(&a, key.data(), static_cast<uint32_t>(key.size()));
  hmacupdate(&a, m2.data(), static_cast<uint32_t>(m2.size()));
  hmacfinal(da, &a);
  EXPECT_EQ(hex(da, 20), refhmac(key, m2));
}

TEST_P(Hmac, RandomKeysAndMessagesMatchOpenSSL) {
  std::mt19937 rng(2202);
  for (int n = 0; n < 300; n++) {
    std::vector<uint8_t> key(rng() % 150), m(n < 200 ? static_cast<size_t>(n) : rng() % 9000);
    for (auto& b : key) b = static_cast<uint8_t>(rng());
    for (auto& b : m) b = static_cast<uint8_t>(rng());
    const size_t piece = 1 + rng() % 100;
    ASSERT_EQ(hmachex(key, m, piece), refhmac(key, m)) << key.size() << " " << m.size() << " " << piece;
  }
}

}  // namespace
