// Cipher context throughput, each beside OpenSSL doing the same work: triple
// DES CFB-64 (both directions, 8 KB and 48-byte calls) and RC4 (8 KB and
// 48-byte calls).
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <cstdint>
#include <vector>

#include "crypto/cipher.h"

// The low-level RC4 API is the fallback when no provider offers RC4; it is
// deprecated in OpenSSL 3, which is fine for a comparison.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <openssl/rc4.h>

namespace {

constexpr size_t LEN = 8192;

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; i++) v[i] = uint8_t(seed + i * 131);
  return v;
}

void ours(benchmark::State& st, uint32_t type, bool decr, size_t len = LEN) {
  auto key = pattern(32, 7);
  std::vector<uint8_t> ctx(2336), buf = pattern(len, 1);
  if (dataencr_init(type, key.data(), 32, ctx.data(), uint32_t(ctx.size())) != 0) {
    st.SkipWithError("dataencr_init failed");
    return;
  }
  for (auto _ : st) {
    uint32_t rc = decr ? datadecr(ctx.data(), buf.data(), buf.data(), uint32_t(len))
                       : dataencr(ctx.data(), buf.data(), buf.data(), uint32_t(len));
    if (rc != 0) st.SkipWithError("cipher call failed");
    benchmark::DoNotOptimize(buf.data());
  }
  st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(len));
}

void openssl(benchmark::State& st, const EVP_CIPHER* cipher, int keylen, bool decr,
             size_t len = LEN) {
  auto key = pattern(32, 7);
  std::vector<uint8_t> buf = pattern(len, 1);
  EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
  if (cipher == nullptr || EVP_CipherInit_ex(c, cipher, nullptr, nullptr, nullptr, decr ? 0 : 1) != 1 ||
      EVP_CIPHER_CTX_set_key_length(c, keylen) != 1 ||
      EVP_CipherInit_ex(c, nullptr, nullptr, key.data(), key.data() + 24, decr ? 0 : 1) != 1) {
    EVP_CIPHER_CTX_free(c);
    st.SkipWithError("OpenSSL cipher unavailable");
    return;
  }
  int n = 0;
  for (auto _ : st) {
    if (EVP_CipherUpdate(c, buf.data(), &n, buf.data(), int(len)) != 1) st.SkipWithError("update failed");
    benchmark::DoNotOptimize(buf.data());
  }
  EVP_CIPHER_CTX_free(c);
  st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(len));
}

void BM_des3cfb_8k(benchmark::State& st) { ours(st, 1, false); }
void BM_openssl_des3cfb_8k(benchmark::State& st) { openssl(st, EVP_des_ede3_cfb64(), 24, false); }
void BM_des3cfb_decr_8k(benchmark::State& st) { ours(st, 1, true); }
void BM_openssl_des3cfb_decr_8k(benchmark::State& st) { openssl(st, EVP_des_ede3_cfb64(), 24, true); }

// A 48-byte call, the size of a record header: the per-call cost of packing
// the subkeys shows here.
void BM_des3cfb_48(benchmark::State& st) { ours(st, 1, false, 48); }
void BM_openssl_des3cfb_48(benchmark::State& st) {
  openssl(st, EVP_des_ede3_cfb64(), 24, false, 48);
}

// RC4 in OpenSSL, on calls of len bytes.
void opensslrc4(benchmark::State& st, size_t len) {
  // RC4 sits in the legacy provider; loading one provider by hand stops the
  // default one from loading by itself, so load both.
  static bool loaded = OSSL_PROVIDER_load(nullptr, "legacy") != nullptr &&
                       OSSL_PROVIDER_load(nullptr, "default") != nullptr;
  EVP_CIPHER* rc4 = loaded ? EVP_CIPHER_fetch(nullptr, "RC4", nullptr) : nullptr;
  if (rc4 != nullptr) {
    openssl(st, rc4, 32, false, len);
    EVP_CIPHER_free(rc4);
    return;
  }
  auto key = pattern(32, 7);
  std::vector<uint8_t> buf = pattern(len, 1);
  RC4_KEY k;
  RC4_set_key(&k, 32, key.data());
  for (auto _ : st) {
    RC4(&k, len, buf.data(), buf.data());
    benchmark::DoNotOptimize(buf.data());
  }
  st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(len));
  st.SetLabel("low-level RC4()");
}

void BM_rc4_8k(benchmark::State& st) { ours(st, 2, false); }
void BM_openssl_rc4_8k(benchmark::State& st) { opensslrc4(st, LEN); }
// A 48-byte call, the size of a record header: below the length where the
// working copy of the state pays, so this is the byte path.
void BM_rc4_48(benchmark::State& st) { ours(st, 2, false, 48); }
void BM_openssl_rc4_48(benchmark::State& st) { opensslrc4(st, 48); }

}  // namespace

#pragma GCC diagnostic pop

BENCHMARK(BM_des3cfb_8k);
BENCHMARK(BM_openssl_des3cfb_8k);
BENCHMARK(BM_des3cfb_decr_8k);
BENCHMARK(BM_openssl_des3cfb_decr_8k);
BENCHMARK(BM_des3cfb_48);
BENCHMARK(BM_openssl_des3cfb_48);
BENCHMARK(BM_rc4_8k);
BENCHMARK(BM_openssl_rc4_8k);
BENCHMARK(BM_rc4_48);
BENCHMARK(BM_openssl_rc4_48);
