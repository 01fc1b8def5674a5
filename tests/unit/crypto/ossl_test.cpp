// OpenSSL as an independent reference on random inputs: MD5 and both SHA-1
// paths (hash, HMAC, every PBKDF2 lane count), and the two cipher contexts
// (3DES-CFB64, RC4) split at random points and run in place.
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/provider.h>

#include "crypto/cipher.h"
#include "crypto/hmac.h"
#include "crypto/md5.h"
#include "crypto/pbkdf2.h"
#include "crypto/sha1.h"
#include "unit/unitutil.h"

using namespace ut;

namespace {

std::string ossldigest(const EVP_MD* md, const bytes& m) {
  uint8_t d[EVP_MAX_MD_SIZE];
  unsigned n = 0;
  EXPECT_EQ(EVP_Digest(m.data(), m.size(), d, &n, md, nullptr), 1);
  return tohex(d, n);
}

// osslcipher(c, key, keylen, iv, in, skip): one encryption run over skip zero bytes and in; the
// part after the zeros.
bytes osslcipher(const EVP_CIPHER* c, const uint8_t* key, int keylen, const uint8_t* iv,
                 const bytes& in, size_t skip = 0) {
  bytes i(skip, 0), o(skip + in.size() + 16);
  int n = 0, m = 0;
  i.insert(i.end(), in.begin(), in.end());
  EVP_CIPHER_CTX* x = EVP_CIPHER_CTX_new();
  EXPECT_NE(x, nullptr);
  EXPECT_EQ(EVP_EncryptInit_ex(x, c, nullptr, nullptr, nullptr), 1) << "cipher";
  EXPECT_EQ(EVP_CIPHER_CTX_set_key_length(x, keylen), 1) << "key length " << keylen;
  EXPECT_EQ(EVP_CIPHER_CTX_set_padding(x, 0), 1) << "padding";
  EXPECT_EQ(EVP_EncryptInit_ex(x, nullptr, nullptr, key, iv), 1) << "key";
  EXPECT_EQ(EVP_EncryptUpdate(x, o.data(), &n, i.data(), int(i.size())), 1) << "update";
  EXPECT_EQ(EVP_EncryptFinal_ex(x, &o[n], &m), 1) << "final";
  EVP_CIPHER_CTX_free(x);
  return bytes(o.begin() + long(skip), o.begin() + n + m);
}

// RC4 lives in the legacy provider; loading it stops the default one from
// loading by itself, so both are loaded once and unloaded at exit.
EVP_CIPHER* rc4() {
  static struct p {
    OSSL_PROVIDER *legacy = OSSL_PROVIDER_load(nullptr, "legacy"),
                  *deflt = OSSL_PROVIDER_load(nullptr, "default");
    EVP_CIPHER* c = EVP_CIPHER_fetch(nullptr, "RC4", nullptr);
    ~p() {
      EVP_CIPHER_free(c);
      OSSL_PROVIDER_unload(legacy);
      OSSL_PROVIDER_unload(deflt);
    }
  } p;
  EXPECT_NE(p.c, nullptr) << "OpenSSL's legacy provider (RC4) is missing";
  return p.c;
}

// feed(rng, m, update): m in random pieces, some empty, through update(pointer, length).
template <class F>
void feed(std::mt19937& rng, const bytes& m, F update) {
  for (size_t at = 0; at < m.size();) {
    size_t n = std::min(m.size() - at, size_t(rng() % (m.size() / 3 + 2)));
    update(&m[at], uint32_t(n));
    at += n;
  }
}

}   // namespace

TEST(Sha1, Md5Sha1HmacPbkdf2MatchOpenSslOnEveryPath) {
  each_sha1path([] {
    std::mt19937 rng(1801);
    for (int n = 0; n < 400; n++) {
      bytes m = random(rng, n < 300 ? size_t(n) : rng() % 20000), key = random(rng, rng() % 150);
      uint8_t d[20], ref[20];
      unsigned len = 0;
      sha1ctx c;
      md5ctx c5;
      hmacctx h;
      sha1init(&c);
      feed(rng, m, [&](const uint8_t* p, uint32_t k) { sha1update(&c, p, k); });
      sha1final(d, &c);
      ASSERT_EQ(tohex(d, 20), ossldigest(EVP_sha1(), m)) << m.size();
      md5init(&c5);
      feed(rng, m, [&](const uint8_t* p, uint32_t k) { md5update(&c5, p, k); });
      md5final(d, &c5);
      ASSERT_EQ(tohex(d, 16), ossldigest(EVP_md5(), m)) << m.size();
      hmacinit(&h, key.data(), uint32_t(key.size()));
      feed(rng, m, [&](const uint8_t* p, uint32_t k) { hmacupdate(&h, p, k); });
      hmacfinal(d, &h);
      HMAC(EVP_sha1(), key.data(), int(key.size()), m.data(), m.size(), ref, &len);
      ASSERT_EQ(tohex(d, 20), tohex(ref, 20)) << key.size() << " " << m.size();
    }
    // PBKDF2: the tunnel's shapes, then random ones with up to eight blocks,
    // so that every number of blocks worked side by side occurs.
    const uint32_t shapes[][4] = {
        {40, 8, 10, 32}, {32, 12, 4, 32}, {48, 12, 4000, 84}, {200, 12, 4000, 84}};
    for (int n = 0; n < 204; n++) {
      const uint32_t* s = n < 4 ? shapes[n] : nullptr;
      bytes pw = random(rng, s ? s[0] : rng() % 130), salt = random(rng, s ? s[1] : rng() % 90);
      uint32_t iter = s ? s[2] : 1 + rng() % 40, outlen = s ? s[3] : 1 + rng() % 160;
      bytes got(outlen), want(outlen);
      pbkdf2(pw.data(), uint32_t(pw.size()), salt.data(), uint32_t(salt.size()), iter, got.data(),
             outlen);
      PKCS5_PBKDF2_HMAC_SHA1((const char*)pw.data(), int(pw.size()), salt.data(), int(salt.size()),
                             int(iter), int(outlen), want.data());
      ASSERT_EQ(got, want) << pw.size() << " " << salt.size() << " " << iter << " " << outlen;
    }
    bytes zero(45, 0xA5);   // no iteration: zero bytes
    pbkdf2(zero.data(), 8, zero.data(), 4, 0, zero.data(), 45);
    EXPECT_EQ(zero, bytes(45, 0));
  });
}

// Random lengths and random splits, every call in place, both directions:
// RC4 calls of every length, so its byte path and its wide path take turns
// on one stream.
TEST(Cipher, SplitInPlaceMatchesOpenSsl) {
  std::mt19937 rng(4);
  for (int t = 0; t < 300; t++) {
    uint32_t type = t % 2 ? ENCR_RC4 : ENCR_DES3,
             len = t < 100 ? uint32_t(t) : uint32_t(rng() % 3000);
    uint32_t keylen = type == ENCR_DES3 ? 32 : 1 + rng() % 256;
    bytes key = random(rng, keylen), pt = random(rng, len);
    // The RC4 context drops the first 256 bytes of the stream.
    bytes want = type == ENCR_DES3
                     ? osslcipher(EVP_des_ede3_cfb64(), key.data(), 24, key.data() + 24, pt)
                     : osslcipher(rc4(), key.data(), int(keylen), nullptr, pt, 256);
    for (int decr = 0; decr < 2; decr++) {
      bytes ctx(CTXSIZE_DES3), buf = decr ? want : pt;
      ASSERT_EQ(dataencr_init(type, key.data(), keylen, ctx.data(), CTXSIZE_DES3), 0u);
      for (uint32_t at = 0, n; at < len; at += n) {
        n = uint32_t(rng() % (len - at + 1));
        if (type == ENCR_DES3 && n < len - at) n &= ~7u;   // whole blocks but for the last piece
        ASSERT_EQ((decr ? datadecr : dataencr)(ctx.data(), &buf[at], &buf[at], n), 0u);
      }
      ASSERT_EQ(buf, decr ? pt : want) << "type " << type << " len " << len << " decr " << decr;
    }
  }
}
