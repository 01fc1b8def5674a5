// Known answers from the standards, one table per algorithm, each naming its
// source and field order; SHA-1 and what is built on it on every SHA-1 path
// this processor has, hashes fed whole and in pieces. Then what the cipher
// context's start-up answers at its boundaries.
#include "crypto/cipher.h"
#include "crypto/des.h"
#include "crypto/hmac.h"
#include "crypto/md5.h"
#include "crypto/pbkdf2.h"
#include "crypto/rc4.h"
#include "crypto/sha1.h"
#include "unit/unitutil.h"

using namespace ut;

namespace {

// digest<...>(m, piece): the digest of m fed in pieces of piece bytes.
template <class C, void (*init)(C*), void (*update)(C*, const uint8_t*, uint32_t),
          void (*fin)(uint8_t*, C*), int N>
std::string digest(const std::string& m, size_t piece) {
  C c;
  uint8_t d[N];
  init(&c);
  for (size_t at = 0; at < m.size(); at += piece)
    update(&c, (const uint8_t*)&m[at], uint32_t(std::min(piece, m.size() - at)));
  fin(d, &c);
  return tohex(d, N);
}

// SHA-1: FIPS 180-1, appendices A, B and C. MD5: RFC 1321, appendix A.5, and
// a million 'a'. Order: message, digest.
struct hashvec {
  std::string msg;
  const char* digest;
};
const hashvec sha1vec[] = {{"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
                           {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
                            "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
                           {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"}};
const hashvec md5vec[] = {{"", "d41d8cd98f00b204e9800998ecf8427e"},
                          {"abc", "900150983cd24fb0d6963f7d28e17f72"},
                          {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
                           "d174ab98d277d9f5a5611c2c9f419d9f"},
                          {std::string(1000000, 'a'), "7707d6ae4e027c70eea2a935c2296f21"}};

// HMAC-SHA1: RFC 2202, section 3, cases 1, 2 and 6. Order: key, data, digest.
const struct {
  bytes key;
  std::string data;
  const char* mac;
} hmacvec[] = {{bytes(20, 0x0b), "Hi There", "b617318655057264e28bc0b6fb378c8ef146be00"},
               {{'J', 'e', 'f', 'e'},
                "what do ya want for nothing?",
                "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
               {bytes(80, 0xaa), "Test Using Larger Than Block-Size Key - Hash Key First",
                "aa4ae5e15272d00e95705637ce8a3b55ed402112"}};

// PBKDF2-HMAC-SHA1: RFC 6070, section 2. Order: password, salt, iterations, derived key.
const struct {
  std::string pw, salt;
  uint32_t iter;
  const char* dk;
} pbkdf2vec[] = {{"password", "salt", 1, "0c60c80f961f0e71f3a9b524af6012062fe037a6"},
                 {"passwordPASSWORDpassword", "saltSALTsaltSALTsaltSALTsaltSALTsalt", 4096,
                  "3d2eec4fe41c849b80c8d83662c0e44a8b291a964cf2f07038"},
                 {std::string("pass\0word", 9), std::string("sa\0lt", 5), 4096,
                  "56fa6aa75548099dcc37d7f03425e0c3"}};

// DES: the classic worked example, then NIST SP 800-20 (variable plaintext,
// variable key, substitution tests); the last row is the first block of NIST's
// TDES-CBC example with its three keys. Order: key, plaintext, ciphertext.
const char* const desvec[][3] = {
    {"133457799bbcdff1", "0123456789abcdef", "85e813540f0ab405"},
    {"0101010101010101", "8000000000000000", "95f8a5e5dd31d900"},
    {"8001010101010101", "0000000000000000", "95a8d72813daa94d"},
    {"7ca110454a1a6e57", "01a1d6d039776742", "690f5b0d9a26939b"},
    {"0123456789abcdef23456789abcdef01456789abcdef0123", "9d5e9aa7f10f0481", "2079c3d53aa763e1"}};

// RC4: RFC 6229, section 2, keys of 40 and 256 bits. Order: key, keystream offset, 16 keystream
// bytes.
const char* const K40 = "0102030405";
const char* const K256 = "0102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f20";
const struct {
  const char* key;
  uint32_t offset;
  const char* stream;
} rc4vec[] = {{K40, 0, "b2396305f03dc027ccc3524a0a1118a8"},
              {K40, 4096, "ff25b58995996707e51fbdf08b34d875"},
              {K256, 0, "eaa6bd25880bf93d3f5d1e4ca2611d91"},
              {K256, 496, "91cb93c787964e10d9527d999c6f936b"}};

}   // namespace

TEST(Sha1, Md5Sha1HmacPbkdf2KnownAnswersOnEveryPath) {
  for (size_t piece : {size_t(1), size_t(63), size_t(1000000)}) {
    for (const auto& v : md5vec)
      EXPECT_EQ((digest<md5ctx, md5init, md5update, md5final, 16>(v.msg, piece)), v.digest);
    each_sha1path([&] {
      for (const auto& v : sha1vec)
        EXPECT_EQ((digest<sha1ctx, sha1init, sha1update, sha1final, 20>(v.msg, piece)), v.digest);
    });
  }
  each_sha1path([] {
    for (const auto& v : hmacvec) {
      hmacctx c;
      uint8_t d[20];
      hmacinit(&c, v.key.data(), uint32_t(v.key.size()));
      hmacupdate(&c, (const uint8_t*)v.data.data(), uint32_t(v.data.size()));
      hmacfinal(d, &c);
      EXPECT_EQ(tohex(d, 20), v.mac) << v.data;
    }
    for (const auto& v : pbkdf2vec) {
      bytes dk(strlen(v.dk) / 2 + 3, 0xA5);   // three guard bytes stay as they are
      pbkdf2((const uint8_t*)v.pw.data(), uint32_t(v.pw.size()), (const uint8_t*)v.salt.data(),
             uint32_t(v.salt.size()), v.iter, dk.data(), uint32_t(dk.size() - 3));
      EXPECT_EQ(tohex(dk), v.dk + std::string("a5a5a5")) << v.pw << " " << v.iter;
    }
  });
}

TEST(Des, KnownAnswersBothDirectionsAndBothForms) {
  for (const auto& v : desvec) {
    bytes key = hex(v[0]), pt = hex(v[1]);
    uint8_t ks[3 * DESKSLEN], o[4][8];
    uint32_t pk[DES3PKLEN], blk[2] = {load32be(pt.data()), load32be(pt.data() + 4)};
    // A single key three times over is single DES.
    for (int n = 0; n < 3; n++)
      deskeysched(ks + n * DESKSLEN, key.data() + (key.size() == 24 ? 8 * n : 0));
    des3block(ks, o[0], pt.data());
    des3pack(pk, ks);
    des3fast(pk, blk);
    store32be(o[1], blk[0]);
    store32be(o[1] + 4, blk[1]);
    desblock(ks, o[2], pt.data(), 0);
    desblock(ks, o[3], hex(v[2]).data(), 1);
    EXPECT_EQ(tohex(o[0], 8), v[2]) << "key " << v[0] << ": triple";
    EXPECT_EQ(tohex(o[1], 8), v[2]) << "key " << v[0] << ": packed";
    if (key.size() != 24) {
      EXPECT_EQ(tohex(o[2], 8), v[2]) << "key " << v[0] << ": single";
      EXPECT_EQ(tohex(o[3], 8), v[1]) << "key " << v[0] << ": back";
    }
  }
}

TEST(Rc4, KnownAnswers) {
  for (const auto& v : rc4vec) {
    bytes key = hex(v.key), ks(v.offset + 16);
    uint8_t st[RC4STATELEN];
    rc4setup(st, key.data(), uint32_t(key.size()));
    for (auto& k : ks) k = rc4byte(st);
    EXPECT_EQ(tohex(&ks[v.offset], 16), v.stream) << v.key << " at " << v.offset;
  }
}

TEST(Cipher, InitResultsAtTheirBoundariesNothingWrittenOnFailure) {
  // Order: type, key length, work area size, result. The type is judged
  // before the key length, the key length before the size.
  const uint32_t rows[][4] = {
      {1, 31, 2336, 2}, {1, 32, 2335, 3}, {1, 300, 2336, 0}, {2, 0, 290, 2},   {2, 256, 290, 0},
      {2, 257, 290, 2}, {2, 32, 289, 3},  {0, 32, 2336, 1},  {3, 32, 2336, 1}, {2, 257, 0, 2}};
  bytes key(300, 0x5A);
  for (const auto& r : rows) {
    bytes area(2400, 0xA5);
    EXPECT_EQ(dataencr_init(r[0], key.data(), r[1], area.data(), r[2]), r[3])
        << r[0] << " " << r[1] << " " << r[2];
    for (size_t i = r[3] ? 0 : r[2]; i < area.size(); i++) ASSERT_EQ(area[i], 0xA5) << "byte " << i;
  }
}
