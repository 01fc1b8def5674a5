// RC4: the raw keystream and the drop-256 context against RFC 6229, and the
// bulk loops against single steps.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "crypto/cipher.h"
#include "crypto/rc4.h"
#include "hexstr.h"
#include "osslref.h"

namespace {

struct rfcpoint {
  uint32_t offset;   // keystream offset, as RFC 6229 numbers it
  const char* data;  // the 16 keystream bytes at that offset
};

// RFC 6229 section 2, key 0x0102030405 (40 bits).
const rfcpoint key40[] = {
    {0, "b2396305f03dc027ccc3524a0a1118a8"},    {240, "28cb1132c96ce286421dcaadb8b69eae"},
    {256, "1cfcf62b03eddb641d77dfcf7f8d8c93"},  {496, "42b7d0cdd918a8a33dd51781c81f4041"},
    {512, "6459844432a7da923cfb3eb4980661f6"},  {1024, "30abbcc7c20b01609f23ee2d5f6bb7df"},
    {4080, "068326a2118416d21f9d04b2cd1ca050"}, {4096, "ff25b58995996707e51fbdf08b34d875"},
};

// RFC 6229 section 2, key 0x0102...1f20 (256 bits).
const rfcpoint key256[] = {
    {0, "eaa6bd25880bf93d3f5d1e4ca2611d91"},    {240, "114ae344ded71b35f2e60febad727fd8"},
    {256, "02e1e7056b0f623900496422943e97b6"},  {496, "91cb93c787964e10d9527d999c6f936b"},
    {512, "49b18b42f8e8367cbeb5ef104ba1c7cd"},  {1024, "7fec5bfd9f9b89ce6548309092d7e958"},
    {4080, "a13a7c79c7e119b5ab0296ab28c300b9"}, {4096, "f3e4c0a2e02d1d01f7f0a74618af2b48"},
};

void checkraw(const std::vector<uint8_t>& key, const rfcpoint* pts, size_t n) {
  uint8_t st[RC4STATELEN];
  rc4setup(st, key.data(), uint32_t(key.size()));
  std::vector<uint8_t> ks(4112);
  for (auto& b : ks) b = rc4byte(st);
  for (size_t p = 0; p < n; p++)
    EXPECT_EQ(std::vector<uint8_t>(ks.begin() + pts[p].offset, ks.begin() + pts[p].offset + 16),
              hex(pts[p].data))
        << "offset " << pts[p].offset;
}

// The context drops 256 bytes, so its first output byte is keystream byte 256.
void checkcontext(const std::vector<uint8_t>& key, const rfcpoint* pts, size_t n) {
  uint8_t ctx[290];
  ASSERT_EQ(dataencr_init(2, key.data(), uint32_t(key.size()), ctx, sizeof ctx), 0u);
  std::vector<uint8_t> ks(4112 - 256, 0);
  // Split the run unevenly: the keystream must not depend on call sizes.
  ASSERT_EQ(dataencr(ctx, ks.data(), ks.data(), 1), 0u);
  ASSERT_EQ(dataencr(ctx, ks.data() + 1, ks.data() + 1, 999), 0u);
  ASSERT_EQ(dataencr(ctx, ks.data() + 1000, ks.data() + 1000, uint32_t(ks.size() - 1000)), 0u);
  for (size_t p = 0; p < n; p++) {
    if (pts[p].offset < 256) continue;
    uint32_t at = pts[p].offset - 256;
    EXPECT_EQ(std::vector<uint8_t>(ks.begin() + at, ks.begin() + at + 16), hex(pts[p].data))
        << "offset " << pts[p].offset;
  }
}

TEST(Rc4, Rfc6229RawKeystream) {
  checkraw(hex("0102030405"), key40, std::size(key40));
  checkraw(hex("0102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f20"), key256,
           std::size(key256));
}

TEST(Rc4, ContextDropsTheFirst256Bytes) {
  checkcontext(hex("0102030405"), key40, std::size(key40));
  checkcontext(hex("0102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f20"), key256,
               std::size(key256));
}

TEST(Rc4, BulkLoopEqualsSingleStepsAndOpenSsl) {
  std::mt19937 rng(6229);
  for (uint32_t keylen : {1u, 5u, 32u, 255u, 256u}) {
    std::vector<uint8_t> key(keylen), data(1500);
    for (auto& b : key) b = uint8_t(rng());
    for (auto& b : data) b = uint8_t(rng());
    uint8_t a[RC4STATELEN], b[RC4STATELEN];
    rc4setup(a, key.data(), keylen);
    memcpy(b, a, sizeof a);
    std::vector<uint8_t> bulk(data.size()), step(data.size());
    rc4xor(a, data.data(), bulk.data(), uint32_t(data.size()));
    for (size_t k = 0; k < data.size(); k++) step[k] = data[k] ^ rc4byte(b);
    EXPECT_EQ(bulk, step) << "keylen " << keylen;
    EXPECT_EQ(memcmp(a, b, RC4STATELEN), 0) << "keylen " << keylen;
    // A one-byte key is repeated through the whole schedule, like any other.
    uint8_t ctx[290];
    ASSERT_EQ(dataencr_init(2, key.data(), keylen, ctx, sizeof ctx), 0u);
    std::vector<uint8_t> out(data.size());
    ASSERT_EQ(dataencr(ctx, data.data(), out.data(), uint32_t(data.size())), 0u);
    EXPECT_EQ(out, ossl_rc4drop(key.data(), int(keylen), data.data(), data.size()))
        << "keylen " << keylen;
  }
}

// The byte path and the wide path, in either order, on both sides of every
// split of one stream: the bytes and the state left are those of single steps.
TEST(Rc4, BothPathsEqualSingleStepsAtEverySplit) {
  using path = void (*)(uint8_t*, const uint8_t*, uint8_t*, uint32_t);
  const path ways[][2] = {{rc4xorbyte, rc4xorwide}, {rc4xorwide, rc4xorbyte}, {rc4xor, rc4xor}};
  std::mt19937 rng(72);
  std::vector<uint8_t> key(32), data(1024);
  for (auto& b : key) b = uint8_t(rng());
  for (auto& b : data) b = uint8_t(rng());
  uint8_t ref[RC4STATELEN];
  rc4setup(ref, key.data(), 32);
  std::vector<uint8_t> want(data.size());
  for (size_t k = 0; k < data.size(); k++) want[k] = data[k] ^ rc4byte(ref);
  for (uint32_t cut = 0; cut <= data.size(); cut++) {
    for (const auto& w : ways) {
      uint8_t st[RC4STATELEN];
      rc4setup(st, key.data(), 32);
      std::vector<uint8_t> got = data;
      w[0](st, got.data(), got.data(), cut);
      w[1](st, got.data() + cut, got.data() + cut, uint32_t(data.size()) - cut);
      ASSERT_EQ(got, want) << "cut " << cut;
      ASSERT_EQ(memcmp(st, ref, RC4STATELEN), 0) << "cut " << cut;
    }
  }
}

}  // namespace
