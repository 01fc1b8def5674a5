// OpenSSL as an independent reference for the cipher tests: triple DES
// (ECB and CFB-64) and RC4 with an arbitrary key length.
#pragma once
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <cstdint>
#include <vector>

// RC4 lives in OpenSSL's legacy provider; loading it explicitly stops the
// default one from loading by itself, so load both, once, and unload them at
// exit (the leak checker of the sanitizer build holds us to that).
inline bool ossl_legacy() {
  struct providers {
    OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(nullptr, "legacy");
    OSSL_PROVIDER* deflt = OSSL_PROVIDER_load(nullptr, "default");
    ~providers() {
      if (legacy != nullptr) OSSL_PROVIDER_unload(legacy);
      if (deflt != nullptr) OSSL_PROVIDER_unload(deflt);
    }
  };
  static providers p;
  return p.legacy != nullptr && p.deflt != nullptr;
}

// ossl_run(cipher, key, keylen, iv, enc, in, len): the output of one
// OpenSSL cipher run over len bytes.
inline std::vector<uint8_t> ossl_run(const EVP_CIPHER* cipher, const uint8_t* key, int keylen,
                                     const uint8_t* iv, int enc, const uint8_t* in, size_t len) {
  std::vector<uint8_t> out(len + 16);
  EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
  int n = 0, m = 0;
  bool ok = c != nullptr && EVP_CipherInit_ex(c, cipher, nullptr, nullptr, nullptr, enc) == 1 &&
            EVP_CIPHER_CTX_set_key_length(c, keylen) == 1 &&
            EVP_CIPHER_CTX_set_padding(c, 0) == 1 &&
            EVP_CipherInit_ex(c, nullptr, nullptr, key, iv, enc) == 1 &&
            EVP_CipherUpdate(c, out.data(), &n, in, int(len)) == 1 &&
            EVP_CipherFinal_ex(c, out.data() + n, &m) == 1;
  EVP_CIPHER_CTX_free(c);
  EXPECT_TRUE(ok) << "OpenSSL cipher run failed";
  out.resize(size_t(n + m));
  return out;
}

// ossl_des3cfb(key32, in, len, enc): triple DES CFB-64 with keys from bytes
// 0-23 and the initial vector from bytes 24-31, as the cipher context takes them.
inline std::vector<uint8_t> ossl_des3cfb(const uint8_t* key32, const uint8_t* in, size_t len,
                                         int enc) {
  return ossl_run(EVP_des_ede3_cfb64(), key32, 24, key32 + 24, enc, in, len);
}

// ossl_rc4drop(key, keylen, in, len): RC4 with the first 256 keystream bytes dropped.
inline std::vector<uint8_t> ossl_rc4drop(const uint8_t* key, int keylen, const uint8_t* in,
                                         size_t len) {
  EXPECT_TRUE(ossl_legacy()) << "OpenSSL legacy provider (RC4) not available";
  EVP_CIPHER* rc4 = EVP_CIPHER_fetch(nullptr, "RC4", nullptr);
  std::vector<uint8_t> buf(256 + len, 0);
  for (size_t k = 0; k < len; k++) buf[256 + k] = in[k];
  std::vector<uint8_t> out;
  if (rc4 != nullptr) out = ossl_run(rc4, key, keylen, nullptr, 1, buf.data(), buf.size());
  EVP_CIPHER_free(rc4);
  if (out.size() < 256) return {};
  return std::vector<uint8_t>(out.begin() + 256, out.end());
}
