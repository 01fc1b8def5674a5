// Known answers from the standards, one table per algorithm. Hashes are fed
// in one call, one byte at a time and split at every offset; the SHA-1
// family runs once on each compression path this processor has.
#include "common/paramrec.h"
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

// digest<...>(m, cuts): the digest of m fed in pieces that end at each cut.
template <class C, void (*init)(C*), void (*update)(C*, const uint8_t*, uint32_t),
          void (*fin)(uint8_t*, C*), int N>
std::string digest(const bytes& m, std::vector<size_t> cuts) {
  C c;
  uint8_t d[N];
  size_t at = 0;
  init(&c), cuts.push_back(m.size());
  for (size_t to : cuts) update(&c, m.data() + at, uint32_t(to - at)), at = to;
  fin(d, &c);
  return tohex(d, N);
}
using digestfn = std::string (*)(const bytes&, std::vector<size_t>);

// Order: message, times it is repeated, digest.
struct hashvec { const char* msg; size_t times; const char* digest; };

void checkhash(digestfn f, const hashvec& v) {
  bytes m;
  for (size_t i = 0; i < v.times; i++) m.insert(m.end(), v.msg, v.msg + strlen(v.msg));
  EXPECT_EQ(f(m, {}), v.digest) << v.msg;
  std::vector<size_t> cuts;
  for (size_t at = 1; at < m.size(); at += m.size() > 1000 ? at % 1013 + 1 : 1) cuts.push_back(at);
  EXPECT_EQ(f(m, cuts), v.digest) << v.msg << " in pieces";
  for (size_t i = 0; m.size() < 1000 && i <= m.size(); i++) ASSERT_EQ(f(m, {i}), v.digest) << v.msg << " cut at " << i;
}

// FIPS 180-1, appendices A, B and C.
const hashvec sha1vec[] = {
    {"abc", 1, "a9993e364706816aba3e25717850c26c9cd0d89d"},
    {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 1, "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
    {"a", 1000000, "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
};

// RFC 1321, appendix A.5, and a million 'a'.
const hashvec md5vec[] = {
    {"", 1, "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", 1, "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", 1, "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", 1, "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", 1, "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", 1, "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"1234567890", 8, "57edf4a22be3c955ac49da2e2107b67a"},
    {"a", 1000000, "7707d6ae4e027c70eea2a935c2296f21"},
};

// RFC 2202, section 3. Order: key, data, digest.
const struct { bytes key, data; const char* mac; } hmacvec[] = {
    {bytes(20, 0x0b), text("Hi There"), "b617318655057264e28bc0b6fb378c8ef146be00"},
    {text("Jefe"), text("what do ya want for nothing?"), "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
    {bytes(20, 0xaa), bytes(50, 0xdd), "125d7342b9ac11cd91a39af48aa17b4f63f175d3"},
    {hex("0102030405060708090a0b0c0d0e0f10111213141516171819"), bytes(50, 0xcd), "4c9007f4026250c6bc8414f9bf50c86c2d7235da"},
    {bytes(20, 0x0c), text("Test With Truncation"), "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04"},
    {bytes(80, 0xaa), text("Test Using Larger Than Block-Size Key - Hash Key First"), "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
    {bytes(80, 0xaa), text("Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data"), "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"},
};

// RFC 6070, section 2 (the case of 16777216 iterations left out for its
// time). Order: password, salt, iterations, derived key.
const struct { std::string pw, salt; uint32_t iter; const char* dk; } pbkdf2vec[] = {
    {"password", "salt", 1, "0c60c80f961f0e71f3a9b524af6012062fe037a6"},
    {"password", "salt", 2, "ea6c014dc72d6f8ccd1ed92ace1d41f0d8de8957"},
    {"password", "salt", 4096, "4b007901b765489abead49d926f721d065a429c1"},
    {"passwordPASSWORDpassword", "saltSALTsaltSALTsaltSALTsaltSALTsalt", 4096, "3d2eec4fe41c849b80c8d83662c0e44a8b291a964cf2f07038"},
    {std::string("pass\0word", 9), std::string("sa\0lt", 5), 4096, "56fa6aa75548099dcc37d7f03425e0c3"},
};

// DES: the classic worked example, then NIST SP 800-20 (variable plaintext,
// inverse permutation, variable key, permutation and substitution tests);
// the last row is from NIST's TDES-CBC example: its three keys, first input
// block and first ciphertext block.
// Order: key, plaintext, ciphertext.
const char* const desvec[][3] = {
    {"133457799bbcdff1", "0123456789abcdef", "85e813540f0ab405"},
    {"0e329232ea6d0d73", "8787878787878787", "0000000000000000"},
    {"0101010101010101", "8000000000000000", "95f8a5e5dd31d900"},
    {"0101010101010101", "0000000000000001", "166b40b44aba4bd6"},
    {"0101010101010101", "95f8a5e5dd31d900", "8000000000000000"},
    {"8001010101010101", "0000000000000000", "95a8d72813daa94d"},
    {"0101010101010180", "0000000000000000", "9cc62df43b6eed74"},
    {"1046913489980131", "0000000000000000", "88d55e54f54c97b4"},
    {"7ca110454a1a6e57", "01a1d6d039776742", "690f5b0d9a26939b"},
    {"0131d9619dc1376e", "5cd54ca83def57da", "7a389d10354bd271"},
    {"0123456789abcdef23456789abcdef01456789abcdef0123", "9d5e9aa7f10f0481", "2079c3d53aa763e1"},
};

// RFC 6229, section 2, keys of 40 and 256 bits. Order: key, keystream offset, 16 keystream bytes.
const struct { const char* key; uint32_t offset; const char* stream; } rc4vec[] = {
    {"0102030405", 0, "b2396305f03dc027ccc3524a0a1118a8"},
    {"0102030405", 256, "1cfcf62b03eddb641d77dfcf7f8d8c93"},
    {"0102030405", 1024, "30abbcc7c20b01609f23ee2d5f6bb7df"},
    {"0102030405", 4096, "ff25b58995996707e51fbdf08b34d875"},
    {"0102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f20", 0, "eaa6bd25880bf93d3f5d1e4ca2611d91"},
    {"0102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f20", 496, "91cb93c787964e10d9527d999c6f936b"},
    {"0102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f20", 4080, "a13a7c79c7e119b5ab0296ab28c300b9"},
};

}  // namespace

INSTANTIATE_TEST_SUITE_P(, Sha1Path, testing::Values(sha1path::portable, sha1path::shani),
                         [](const auto& i) { return i.param == sha1path::shani ? "shani" : "portable"; });

TEST_P(Sha1Path, Sha1HmacPbkdf2KnownAnswers) {
  for (const auto& v : sha1vec) checkhash(digest<sha1ctx, sha1init, sha1update, sha1final, 20>, v);
  for (const auto& v : hmacvec) {
    for (size_t piece : {size_t(1000), size_t(1)}) {   // one call, then a byte at a time
      hmacctx c;
      uint8_t d[20];
      hmacinit(&c, v.key.data(), uint32_t(v.key.size()));
      for (size_t at = 0; at < v.data.size(); at += piece) hmacupdate(&c, &v.data[at], uint32_t(std::min(piece, v.data.size() - at)));
      hmacfinal(d, &c);
      EXPECT_EQ(tohex(d, 20), v.mac) << tohex(v.key) << " pieces of " << piece;
    }
  }
  for (const auto& v : pbkdf2vec) {
    bytes dk(strlen(v.dk) / 2 + 3, 0xA5), pw = text(v.pw), salt = text(v.salt);   // three guard bytes stay
    pbkdf2(pw.data(), uint32_t(pw.size()), salt.data(), uint32_t(salt.size()), v.iter, dk.data(), uint32_t(dk.size() - 3));
    EXPECT_EQ(tohex(dk), v.dk + std::string("a5a5a5")) << v.pw << " " << v.iter;
  }
}

TEST(Md5, KnownAnswers) {
  for (const auto& v : md5vec) checkhash(digest<md5ctx, md5init, md5update, md5final, 16>, v);
}

// Triple DES through the packed bulk form, on 8 bytes.
void des3fastbytes(const uint8_t* ks, uint8_t* out, const uint8_t* in) {
  uint32_t pk[DES3PKLEN], blk[2] = {load32be(in), load32be(in + 4)};
  des3pack(pk, ks);
  des3fast(pk, blk);
  store32be(out, blk[0]), store32be(out + 4, blk[1]);
}

TEST(Des, KnownAnswersBothDirectionsAndBothForms) {
  for (const auto& v : desvec) {
    bytes key = hex(v[0]), pt = hex(v[1]);
    uint8_t ks[3 * DESKSLEN], o[8];
    // A single key three times over is single DES.
    for (int n = 0; n < 3; n++) deskeysched(ks + n * DESKSLEN, key.data() + (key.size() == 24 ? 8 * n : 0));
    std::string got[4];
    des3block(ks, o, pt.data()), got[0] = tohex(o, 8);
    des3fastbytes(ks, o, pt.data()), got[1] = tohex(o, 8);
    desblock(ks, o, pt.data(), 0), got[2] = tohex(o, 8);
    desblock(ks, o, hex(v[2]).data(), 1), got[3] = tohex(o, 8);
    EXPECT_TRUE(got[0] == v[2] && got[1] == v[2] && (key.size() == 24 || (got[2] == v[2] && got[3] == v[1])))
        << "key " << v[0] << ": triple " << got[0] << ", packed " << got[1] << ", single " << got[2] << ", back " << got[3];
  }
  // Rivest's chained test: the block is its own next key, encrypting on even
  // and decrypting on odd steps, sixteen steps to a published end value.
  bytes x = hex("9474b8e8c73bca7d");
  uint8_t ks[DESKSLEN];
  for (int i = 0; i < 16; i++) deskeysched(ks, x.data()), desblock(ks, x.data(), x.data(), i % 2);
  EXPECT_EQ(tohex(x), "1b1a2ddb4c642438");
}

TEST(Rc4, KnownAnswersRawAndThroughTheCipherContext) {
  for (const auto& v : rc4vec) {
    bytes key = hex(v.key), ks(v.offset + 16), z(v.offset + 16);
    uint8_t st[RC4STATELEN], ctx[CTXSIZE_RC4];
    rc4setup(st, key.data(), uint32_t(key.size()));
    for (auto& k : ks) k = rc4byte(st);
    EXPECT_EQ(tohex(&ks[v.offset], 16), v.stream) << v.key << " at " << v.offset;
    // The context drops the first 256 bytes of the stream; split calls make one stream.
    ASSERT_EQ(dataencr_init(ENCR_RC4, key.data(), uint32_t(key.size()), ctx, sizeof ctx), 0u);
    ASSERT_EQ(dataencr(ctx, z.data(), z.data(), 1) + dataencr(ctx, &z[1], &z[1], uint32_t(z.size() - 1)), 0u);
    EXPECT_TRUE(v.offset < 256 || tohex(&z[v.offset - 256], 16) == v.stream) << v.key << " at " << v.offset;
  }
}
