// Shared by the SHA-1, HMAC and PBKDF2 tests: run each test once per SHA-1
// compression path, hex helpers, and OpenSSL as the independent reference.
#pragma once
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstdint>
#include <string>
#include <vector>

#include "crypto/sha1_impl.h"

// A fixture whose parameter is the path to test; a path this processor
// cannot run is skipped, and the path chosen before is restored afterwards.
class Sha1Paths : public testing::TestWithParam<sha1path> {
 protected:
  void SetUp() override {
    saved_ = sha1curpath();
    if (!sha1usepath(GetParam())) GTEST_SKIP() << "this processor has no SHA instructions";
  }
  void TearDown() override { sha1usepath(saved_); }

 private:
  sha1path saved_ = sha1path::portable;
};

inline void PrintTo(sha1path path, std::ostream* os) {
  *os << (path == sha1path::shani ? "shani" : "portable");
}

inline std::string sha1pathname(const testing::TestParamInfo<sha1path>& info) {
  return info.param == sha1path::shani ? "shani" : "portable";
}

#define INSTANTIATE_SHA1_PATHS(suite)                                                     \
  INSTANTIATE_TEST_SUITE_P(, suite, testing::Values(sha1path::portable, sha1path::shani), \
                           sha1pathname)

inline std::vector<uint8_t> unhex(const std::string& s) {
  std::vector<uint8_t> v;
  for (size_t i = 0; i + 1 < s.size(); i += 2) v.push_back(static_cast<uint8_t>(std::stoi(s.substr(i, 2), nullptr, 16)));
  return v;
}

inline std::string hex(const uint8_t* p, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; i++) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}

inline std::vector<uint8_t> bytes(const std::string& s) { return {s.begin(), s.end()}; }

// The reference results, from OpenSSL.
inline std::string refsha1(const std::vector<uint8_t>& m) {
  uint8_t d[20];
  unsigned n = 0;
  EXPECT_EQ(EVP_Digest(m.data(), m.size(), d, &n, EVP_sha1(), nullptr), 1);
  return hex(d, 20);
}

inline std::string refhmac(const std::vector<uint8_t>& key, const std::vector<uint8_t>& m) {
  uint8_t d[20];
  unsigned n = 0;
  static const uint8_t none = 0;
  EXPECT_NE(HMAC(EVP_sha1(), key.empty() ? &none : key.data(), static_cast<int>(key.size()),
                 m.empty() ? &none : m.data(), m.size(), d, &n), nullptr);
  return hex(d, 20);
}
