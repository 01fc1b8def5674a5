// SHA-1, HMAC-SHA1 and PBKDF2 against OpenSSL on the same inputs. Each of
// ours has an OpenSSL twin of the same name; the portable SHA-1 path is
// measured too, since processors without SHA instructions run it.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <vector>

#include "crypto/hmac.h"
#include "crypto/pbkdf2.h"
#include "crypto/sha1.h"
#include "crypto/sha1_impl.h"

namespace {

const std::vector<uint8_t>& data8k() {
  static const std::vector<uint8_t> d = [] {
    std::vector<uint8_t> v(8192);
    for (size_t i = 0; i < v.size(); i++) v[i] = static_cast<uint8_t>(i * 131 + 7);
    return v;
  }();
  return d;
}

const uint8_t key[20] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20};

// The tunnel's key derivation: a 48-byte input, a 12-byte salt.
const uint8_t xkey[48] = {42};
const uint8_t salt[12] = {7, 7, 7};

// Run one benchmark on one SHA-1 path, restoring the automatic choice after.
class pathguard {
 public:
  pathguard(benchmark::State& state, sha1path path) : saved_(sha1curpath()) {
    if (!sha1usepath(path)) state.SkipWithError("path not available on this processor");
  }
  ~pathguard() { sha1usepath(saved_); }

 private:
  sha1path saved_;
};

void sha1_8k(benchmark::State& state, sha1path path) {
  pathguard guard(state, path);
  const auto& d = data8k();
  uint8_t out[20];
  for (auto _ : state) {
    sha1ctx ctx;
    sha1init(&ctx);
    sha1update(&ctx, d.data(), static_cast<uint32_t>(d.size()));
    sha1final(out, &ctx);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 8192);
}

void BM_sha1_8k(benchmark::State& state) { sha1_8k(state, sha1path::shani); }
void BM_sha1_portable_8k(benchmark::State& state) { sha1_8k(state, sha1path::portable); }

void BM_openssl_sha1_8k(benchmark::State& state) {
  // The fastest way through OpenSSL: the digest fetched once, one context reused.
  EVP_MD* md = EVP_MD_fetch(nullptr, "SHA1", nullptr);
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  const auto& d = data8k();
  uint8_t out[20];
  unsigned n = 0;
  for (auto _ : state) {
    EVP_DigestInit_ex2(ctx, md, nullptr);
    EVP_DigestUpdate(ctx, d.data(), d.size());
    EVP_DigestFinal_ex(ctx, out, &n);
    benchmark::DoNotOptimize(out);
  }
  EVP_MD_CTX_free(ctx);
  EVP_MD_free(md);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 8192);
}

void hmac_8k(benchmark::State& state, sha1path path) {
  pathguard guard(state, path);
  const auto& d = data8k();
  uint8_t out[20];
  for (auto _ : state) {
    hmacctx ctx;
    hmacinit(&ctx, key, sizeof key);
    hmacupdate(&ctx, d.data(), static_cast<uint32_t>(d.size()));
    hmacfinal(out, &ctx);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 8192);
}

void BM_hmac_8k(benchmark::State& state) { hmac_8k(state, sha1path::shani); }
void BM_hmac_portable_8k(benchmark::State& state) { hmac_8k(state, sha1path::portable); }

void BM_openssl_hmac_8k(benchmark::State& state) {
  // Keyed afresh each time, as ours is; the MAC and its context made once.
  EVP_MAC* mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
  EVP_MAC_CTX* ctx = EVP_MAC_CTX_new(mac);
  char digest[] = "SHA1";
  const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string("digest", digest, 0), OSSL_PARAM_construct_end()};
  const auto& d = data8k();
  uint8_t out[20];
  size_t n = 0;
  for (auto _ : state) {
    EVP_MAC_init(ctx, key, sizeof key, params);
    EVP_MAC_update(ctx, d.data(), d.size());
    EVP_MAC_final(ctx, out, &n, sizeof out);
    benchmark::DoNotOptimize(out);
  }
  EVP_MAC_CTX_free(ctx);
  EVP_MAC_free(mac);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 8192);
}

void pbkdf2_4000_84(benchmark::State& state, sha1path path) {
  pathguard guard(state, path);
  uint8_t out[84];
  for (auto _ : state) {
    pbkdf2(xkey, sizeof xkey, salt, sizeof salt, 4000, out, sizeof out);
    benchmark::DoNotOptimize(out);
  }
}

void BM_pbkdf2_4000_84(benchmark::State& state) { pbkdf2_4000_84(state, sha1path::shani); }
void BM_pbkdf2_portable_4000_84(benchmark::State& state) { pbkdf2_4000_84(state, sha1path::portable); }

void BM_openssl_pbkdf2_4000_84(benchmark::State& state) {
  uint8_t out[84];
  for (auto _ : state) {
    PKCS5_PBKDF2_HMAC_SHA1(reinterpret_cast<const char*>(xkey), sizeof xkey, salt, sizeof salt, 4000,
                           sizeof out, out);
    benchmark::DoNotOptimize(out);
  }
}

}  // namespace

BENCHMARK(BM_sha1_8k);
BENCHMARK(BM_sha1_portable_8k);
BENCHMARK(BM_openssl_sha1_8k);
BENCHMARK(BM_hmac_8k);
BENCHMARK(BM_hmac_portable_8k);
BENCHMARK(BM_openssl_hmac_8k);
BENCHMARK(BM_pbkdf2_4000_84)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_pbkdf2_portable_4000_84)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_openssl_pbkdf2_4000_84)->Unit(benchmark::kMillisecond);
