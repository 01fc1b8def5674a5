// DES and triple DES blocks: known answers, the stored schedule form, and the
// packed bulk form against the bit-per-byte form and against OpenSSL.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "crypto/des.h"
#include "hexstr.h"
#include "osslref.h"

namespace {

// Triple DES through the packed form, on bytes.
void des3fastbytes(const uint8_t* ks, uint8_t* out, const uint8_t* in) {
  uint32_t pk[DES3PKLEN];
  des3pack(pk, ks);
  uint32_t blk[2] = {uint32_t(in[0]) << 24 | in[1] << 16 | in[2] << 8 | in[3],
                     uint32_t(in[4]) << 24 | in[5] << 16 | in[6] << 8 | in[7]};
  des3fast(pk, blk);
  for (int k = 0; k < 4; k++) {
    out[k] = uint8_t(blk[0] >> (24 - 8 * k));
    out[4 + k] = uint8_t(blk[1] >> (24 - 8 * k));
  }
}

// Order: key, plaintext, ciphertext. The first two are the classic worked
// examples; the rest are from NIST SP 800-20 (variable plaintext, inverse
// permutation, variable key, permutation operation and substitution table
// tests).
const char* const kat[][3] = {
    {"133457799BBCDFF1", "0123456789ABCDEF", "85E813540F0AB405"},
    {"0E329232EA6D0D73", "8787878787878787", "0000000000000000"},
    {"0101010101010101", "8000000000000000", "95F8A5E5DD31D900"},
    {"0101010101010101", "4000000000000000", "DD7F121CA5015619"},
    {"0101010101010101", "0000000000000001", "166B40B44ABA4BD6"},
    {"0101010101010101", "95F8A5E5DD31D900", "8000000000000000"},
    {"8001010101010101", "0000000000000000", "95A8D72813DAA94D"},
    {"0101010101010180", "0000000000000000", "9CC62DF43B6EED74"},
    {"1046913489980131", "0000000000000000", "88D55E54F54C97B4"},
    {"7CA110454A1A6E57", "01A1D6D039776742", "690F5B0D9A26939B"},
    {"0131D9619DC1376E", "5CD54CA83DEF57DA", "7A389D10354BD271"},
};

TEST(Des, KnownAnswersBothDirectionsAndBothForms) {
  for (const auto& v : kat) {
    auto key = hex(v[0]), pt = hex(v[1]), ct = hex(v[2]);
    uint8_t ks[3 * DESKSLEN], out[8];
    deskeysched(ks, key.data());
    desblock(ks, out, pt.data(), 0);
    EXPECT_EQ(tohex(out, 8), v[2]) << "encrypt key " << v[0];
    desblock(ks, out, ct.data(), 1);
    EXPECT_EQ(tohex(out, 8), v[1]) << "decrypt key " << v[0];
    // Encrypt-decrypt-encrypt with one key three times is single DES.
    memcpy(ks + DESKSLEN, ks, DESKSLEN);
    memcpy(ks + 2 * DESKSLEN, ks, DESKSLEN);
    des3block(ks, out, pt.data());
    EXPECT_EQ(tohex(out, 8), v[2]) << "des3block key " << v[0];
    des3fastbytes(ks, out, pt.data());
    EXPECT_EQ(tohex(out, 8), v[2]) << "packed key " << v[0];
  }
}

TEST(Des, StoredScheduleIsOneBytePerBitInRoundOrder) {
  // Subkeys 1 and 16 of the worked example key, in permuted choice 2 order.
  const std::string k1 = "000110110000001011101111111111000111000001110010";
  const std::string k16 = "110010110011110110001011000011100001011111110101";
  auto key = hex("133457799BBCDFF1");
  uint8_t ks[DESKSLEN];
  deskeysched(ks, key.data());
  std::string got1, got16;
  for (int i = 0; i < 48; i++) {
    got1 += char('0' + ks[i]);
    got16 += char('0' + ks[15 * 48 + i]);
  }
  EXPECT_EQ(got1, k1);
  EXPECT_EQ(got16, k16);
  for (uint8_t b : ks) ASSERT_LE(b, 1);

  // The parity bit (least significant bit of each key byte) is dropped.
  uint8_t ks2[DESKSLEN];
  for (auto& b : key) b ^= 1;
  deskeysched(ks2, key.data());
  EXPECT_EQ(memcmp(ks, ks2, DESKSLEN), 0);
}

TEST(Des, MonteCarloAlternatingEncryptDecrypt) {
  // Rivest's chained test: sixteen steps, the block doubling as its own key,
  // encrypting on even and decrypting on odd steps, to a published end value.
  auto x = hex("9474B8E8C73BCA7D");
  uint8_t ks[DESKSLEN];
  for (int i = 0; i < 16; i++) {
    deskeysched(ks, x.data());
    desblock(ks, x.data(), x.data(), i % 2);
  }
  EXPECT_EQ(tohex(x.data(), 8), "1B1A2DDB4C642438");
}

TEST(Des3, NistTripleDesBlockAndPackedFormAgree) {
  // NIST's TDES example keys; the input block is the first CBC input block of
  // its CBC example, so the output is that example's first ciphertext.
  auto key = hex("0123456789ABCDEF23456789ABCDEF01456789ABCDEF0123");
  auto in = hex("9D5E9AA7F10F0481");
  uint8_t ks[3 * DESKSLEN], out[8];
  for (int n = 0; n < 3; n++) deskeysched(ks + n * DESKSLEN, key.data() + 8 * n);
  des3block(ks, out, in.data());
  EXPECT_EQ(tohex(out, 8), "2079C3D53AA763E1");
  des3fastbytes(ks, out, in.data());
  EXPECT_EQ(tohex(out, 8), "2079C3D53AA763E1");
}

TEST(Des3, RandomKeysAndBlocksMatchOpenSsl) {
  std::mt19937 rng(20261206);
  uint8_t key[24], in[8], ref[8], fast[8], ks[3 * DESKSLEN];
  for (int t = 0; t < 300; t++) {
    for (auto& b : key) b = uint8_t(rng());
    for (auto& b : in) b = uint8_t(rng());
    for (int n = 0; n < 3; n++) deskeysched(ks + n * DESKSLEN, key + 8 * n);
    des3block(ks, ref, in);
    des3fastbytes(ks, fast, in);
    ASSERT_EQ(tohex(ref, 8), tohex(fast, 8)) << "trial " << t;
    auto ossl = ossl_run(EVP_des_ede3_ecb(), key, 24, nullptr, 1, in, 8);
    ASSERT_EQ(ossl.size(), 8u);
    ASSERT_EQ(tohex(ref, 8), tohex(ossl.data(), 8)) << "trial " << t;
  }
}

}  // namespace
