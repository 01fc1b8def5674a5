// The cipher context as the tunnel uses it: results and their order, the
// direction rules, a known triple-DES CFB-64 answer; the secret helpers.
#include "crypto/cipher.h"

#include "common/paramrec.h"
#include "crypto/secure.h"
#include "unit/unitutil.h"

using namespace ut;

TEST(Cipher, InitResultsAtTheirBoundariesNothingWrittenOnFailure) {
  // Order: type, key length, work area size, result. The type is judged
  // before the key length, the key length before the size.
  const uint32_t rows[][4] = {{1, 31, 2336, 2}, {1, 32, 2336, 0}, {1, 300, 2336, 0}, {1, 32, 2335, 3}, {2, 0, 290, 2},
                              {2, 1, 290, 0},   {2, 256, 290, 0}, {2, 257, 290, 2},  {2, 32, 289, 3},  {0, 32, 2336, 1},
                              {3, 32, 2336, 1}, {3, 0, 0, 1},     {1, 31, 0, 2},     {2, 257, 0, 2}};
  bytes key(300, 0x5A);
  for (const auto& r : rows) {
    bytes area(2400, 0xA5);
    EXPECT_EQ(dataencr_init(r[0], key.data(), r[1], area.data(), r[2]), r[3]) << r[0] << " " << r[1] << " " << r[2];
    for (size_t i = r[3] ? 0 : r[2]; i < area.size(); i++) ASSERT_EQ(area[i], 0xA5) << "byte " << i;
  }
}

TEST(Cipher, FirstCallFixesTheDirectionAPartialDesBlockEndsTheStream) {
  for (uint32_t type : {ENCR_DES3, ENCR_RC4}) {
    bytes key(32, 0x3C), e(CTXSIZE_DES3), d(CTXSIZE_DES3), in(16, 0xEE);
    ASSERT_EQ(dataencr_init(type, key.data(), 32, e.data(), CTXSIZE_DES3) + dataencr_init(type, key.data(), 32, d.data(), CTXSIZE_DES3), 0u);
    EXPECT_EQ(dataencr(e.data(), in.data(), in.data(), 0) + datadecr(d.data(), in.data(), in.data(), 5), 0u);   // length 0 counts
    auto refused = [&](bytes& ctx, bool encr, uint32_t rc) {
      bytes before = ctx, o(16, 0x11);
      EXPECT_EQ((encr ? dataencr : datadecr)(ctx.data(), in.data(), o.data(), 8), rc) << type;
      EXPECT_TRUE(ctx == before && o == bytes(16, 0x11)) << type << ": changed when refused";
    };
    refused(e, false, 2), refused(d, true, 2);
    if (type == ENCR_DES3) refused(d, false, 3);   // 5 bytes were the last of the stream
    e[1] ^= 1;                                      // the marker at the start of the area
    refused(e, true, 1);
  }
}

// NIST's TDES example keys, initial vector and plaintext; the ciphertext was
// made with OpenSSL's des-ede3-cfb (64-bit feedback).
TEST(Cipher, TripleDesCfb64KnownAnswer) {
  bytes key = hex("0123456789abcdef23456789abcdef01456789abcdef0123f69f2445df4f9b17");
  bytes pt = hex("6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"), e(CTXSIZE_DES3), d(e), b = pt;
  ASSERT_EQ(dataencr_init(ENCR_DES3, key.data(), 32, e.data(), CTXSIZE_DES3) + dataencr_init(ENCR_DES3, key.data(), 32, d.data(), CTXSIZE_DES3), 0u);
  ASSERT_EQ(dataencr(e.data(), b.data(), b.data(), 32), 0u);
  EXPECT_EQ(tohex(b), "078bb74e59ce7ed67666de9cf95eaf3fe9ed6bb460f451528a5f9fe4ed710918");
  ASSERT_EQ(datadecr(d.data(), b.data(), b.data(), 8) + datadecr(d.data(), &b[8], &b[8], 24), 0u);
  EXPECT_EQ(b, pt);
}

TEST(Secure, WipeAndConstantTimeCompare) {
  bytes a(37, 0xA5), b;
  secure_zero(&a[1], 35);
  EXPECT_EQ(tohex(a), "a5" + std::string(70, '0') + "a5");
  a.assign(32, 7), b = a;
  EXPECT_TRUE(ctequal(a.data(), b.data(), 32));
  for (size_t i = 0; i < 32; i++) {
    b[i] ^= 0x80;
    EXPECT_FALSE(ctequal(a.data(), b.data(), 32)) << i;
    b[i] ^= 0x80;
  }
}
