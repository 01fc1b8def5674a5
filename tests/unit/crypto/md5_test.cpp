#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "crypto/md5.h"

namespace {

std::string hex(const uint8_t* p, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; i++) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}

std::string md5hex(const std::string& msg) {
  uint8_t out[16];
  md5hash(reinterpret_cast<const uint8_t*>(msg.data()), uint32_t(msg.size()), out);
  return hex(out, 16);
}

// The independent reference: OpenSSL's MD5 through the EVP interface.
std::string opensslmd5(const uint8_t* data, size_t len) {
  uint8_t out[EVP_MAX_MD_SIZE];
  unsigned int outlen = 0;
  EXPECT_EQ(EVP_Digest(data, len, out, &outlen, EVP_md5(), nullptr), 1);
  return hex(out, outlen);
}

// Feed msg in pieces cut at the given offsets (ascending), then finish.
std::string md5pieces(const std::vector<uint8_t>& msg, std::vector<size_t> cuts) {
  md5ctx ctx;
  md5init(&ctx);
  size_t from = 0;
  cuts.push_back(msg.size());
  for (size_t cut : cuts) {
    md5update(&ctx, msg.data() + from, uint32_t(cut - from));
    from = cut;
  }
  uint8_t out[16];
  md5final(out, &ctx);
  return hex(out, 16);
}

}  // namespace

// RFC 1321, appendix A.5 ("test suite"). Order: message, digest.
TEST(Md5, Rfc1321TestSuite) {
  const struct {
    const char* msg;
    const char* digest;
  } vectors[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& v : vectors) EXPECT_EQ(md5hex(v.msg), v.digest) << '"' << v.msg << '"';
  // A million 'a's, fed in one call and in uneven pieces.
  std::string million(1000000, 'a');
  EXPECT_EQ(md5hex(million), "7707d6ae4e027c70eea2a935c2296f21");
  std::vector<uint8_t> m(million.begin(), million.end());
  EXPECT_EQ(md5pieces(m, {1, 64, 65, 1000, 99999, 500000}), "7707d6ae4e027c70eea2a935c2296f21");
}

TEST(Md5, PaddingBoundariesWholeAndInPieces) {
  // 55 is the longest run padded in its own block, 56 and 63 spill the length
  // into a second block, 64/119/120 repeat this one block later.
  for (size_t len : {55u, 56u, 63u, 64u, 119u, 120u}) {
    std::vector<uint8_t> msg(len);
    for (size_t i = 0; i < len; i++) msg[i] = uint8_t(i * 37 + 11);
    const std::string want = opensslmd5(msg.data(), len);
    EXPECT_EQ(md5pieces(msg, {}), want) << len;
    for (size_t a = 0; a <= len; a++) {
      ASSERT_EQ(md5pieces(msg, {a}), want) << len << " cut at " << a;
      for (size_t b = a; b <= len; b += 7)
        ASSERT_EQ(md5pieces(msg, {a, b}), want) << len << " cut at " << a << "," << b;
    }
  }
}

TEST(Md5, RandomRunsMatchOpenssl) {
  std::mt19937 rng(20261206);
  for (int n = 0; n < 300; n++) {
    size_t len = rng() % 1200;
    std::vector<uint8_t> msg(len);
    for (auto& b : msg) b = uint8_t(rng());
    std::vector<size_t> cuts;
    for (size_t at = 0; len > 0 && (at += rng() % 130) < len;) cuts.push_back(at);
    ASSERT_EQ(md5pieces(msg, cuts), opensslmd5(msg.data(), len)) << "length " << len;
  }
}

TEST(Md5, ContextIsZeroAfterFinalAndCountCarries) {
  md5ctx ctx;
  memset(&ctx, 0xA5, sizeof ctx);
  md5init(&ctx);
  const uint8_t data[100] = {1, 2, 3};
  md5update(&ctx, data, sizeof data);
  uint8_t out[16];
  md5final(out, &ctx);
  const uint8_t* raw = reinterpret_cast<const uint8_t*>(&ctx);
  for (size_t i = 0; i < sizeof ctx; i++) ASSERT_EQ(raw[i], 0) << "context byte " << i;
  EXPECT_EQ(hex(out, 16), opensslmd5(data, sizeof data));

  // The bit count is 64 bits wide: a low word about to wrap carries into the
  // high word (reaching this by hashing would take half a gigabyte).
  md5init(&ctx);
  ctx.bitlo = 0xFFFFFE00u;  // 64 bytes short of 2^29 bytes, on a block boundary
  uint8_t block[128] = {};
  md5update(&ctx, block, sizeof block);
  EXPECT_EQ(ctx.bithi, 1u);
  EXPECT_EQ(ctx.bitlo, 0x200u);
}
