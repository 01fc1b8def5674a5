#include "crypto/pbkdf2.h"

#include <openssl/evp.h>

#include <cstring>
#include <random>

#include "sha1paths.h"

namespace {

std::string pbkdf2hex(const std::vector<uint8_t>& pw, const std::vector<uint8_t>& salt, uint32_t iter,
                      size_t outlen) {
  std::vector<uint8_t> out(outlen);
  pbkdf2(pw.data(), static_cast<uint32_t>(pw.size()), salt.data(), static_cast<uint32_t>(salt.size()), iter,
         out.data(), static_cast<uint32_t>(outlen));
  return hex(out.data(), out.size());
}

std::string refpbkdf2(const std::vector<uint8_t>& pw, const std::vector<uint8_t>& salt, uint32_t iter,
                      size_t outlen) {
  std::vector<uint8_t> out(outlen);
  static const uint8_t none = 0;
  EXPECT_EQ(PKCS5_PBKDF2_HMAC_SHA1(reinterpret_cast<const char*>(pw.empty() ? &none : pw.data()),
                                   static_cast<int>(pw.size()), salt.empty() ? &none : salt.data(),
                                   static_cast<int>(salt.size()), static_cast<int>(iter),
                                   static_cast<int>(outlen), out.data()),
            1);
  return hex(out.data(), out.size());
}

class Pbkdf2 : public Sha1Paths {};
INSTANTIATE_SHA1_PATHS(Pbkdf2);

// RFC 6070, section 2. Order: password, salt, iteration count, output.
// Case 4 (16777216 iterations) is left out for its running time.
TEST_P(Pbkdf2, Rfc6070) {
  const std::string nul(1, '\0');
  EXPECT_EQ(pbkdf2hex(bytes("password"), bytes("salt"), 1, 20), "0c60c80f961f0e71f3a9b524af6012062fe037a6");
  EXPECT_EQ(pbkdf2hex(bytes("password"), bytes("salt"), 2, 20), "ea6c014dc72d6f8ccd1ed92ace1d41f0d8de8957");
  EXPECT_EQ(pbkdf2hex(bytes("password"), bytes("salt"), 4096, 20), "4b007901b765489abead49d926f721d065a429c1");
  EXPECT_EQ(pbkdf2hex(bytes("passwordPASSWORDpassword"), bytes("saltSALTsaltSALTsaltSALTsaltSALTsalt"), 4096, 25),
            "3d2eec4fe41c849b80c8d83662c0e44a8b291a964cf2f07038");
  EXPECT_EQ(pbkdf2hex(bytes("pass" + nul + "word"), bytes("sa" + nul + "lt"), 4096, 16),
            "56fa6aa75548099dcc37d7f03425e0c3");
}

// The output is written to exactly its length: nothing for length 0, a
// partial last block, and the bytes after it stay as they were.
TEST_P(Pbkdf2, WritesExactlyTheOutputLength) {
  const std::vector<uint8_t> pw = bytes("password"), salt = bytes("salt");
  uint8_t out[64];

  memset(out, 0xA5, sizeof out);
  pbkdf2(pw.data(), 8, salt.data(), 4, 3, out, 0);
  for (uint8_t b : out) ASSERT_EQ(b, 0xA5);

  pbkdf2(pw.data(), 8, salt.data(), 4, 3, out, 21);
  EXPECT_EQ(hex(out, 21), refpbkdf2(pw, salt, 3, 21));
  for (size_t i = 21; i < sizeof out; i++) ASSERT_EQ(out[i], 0xA5) << i;
}

// An iteration count of 0 leaves every block zero: the output is zero
// bytes, no error, and nothing past the output length is touched.
TEST_P(Pbkdf2, ZeroIterationsGiveZeroBytes) {
  const std::vector<uint8_t> pw = bytes("password"), salt = bytes("salt");
  uint8_t out[50];
  memset(out, 0xA5, sizeof out);
  pbkdf2(pw.data(), 8, salt.data(), 4, 0, out, 45);
  for (size_t i = 0; i < 45; i++) ASSERT_EQ(out[i], 0) << i;
  for (size_t i = 45; i < sizeof out; i++) ASSERT_EQ(out[i], 0xA5) << i;
}

// The tunnel's derivations (salts of 8 and 12 bytes, 10, 4 and 4000
// iterations, 32 and 84 bytes), then random shapes: passwords shorter and
// longer than a block, empty salts, and up to eight output blocks so that
// every number of blocks worked side by side occurs.
TEST_P(Pbkdf2, MatchesOpenSSL) {
  std::mt19937 rng(2898);
  auto random = [&](size_t n) {
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = static_cast<uint8_t>(rng());
    return v;
  };
  const struct {
    size_t pwlen, saltlen;
    uint32_t iter;
    size_t outlen;
  } shapes[] = {{40, 8, 10, 32}, {32, 12, 4, 32}, {48, 12, 4000, 84}, {200, 12, 4000, 84}};
  for (const auto& s : shapes) {
    const auto pw = random(s.pwlen), salt = random(s.saltlen);
    EXPECT_EQ(pbkdf2hex(pw, salt, s.iter, s.outlen), refpbkdf2(pw, salt, s.iter, s.outlen));
  }
  for (int n = 0; n < 200; n++) {
    const auto pw = random(rng() % 130), salt = random(rng() % 90);
    const uint32_t iter = 1 + rng() % 40;
    const size_t outlen = 1 + rng() % 160;
    ASSERT_EQ(pbkdf2hex(pw, salt, iter, outlen), refpbkdf2(pw, salt, iter, outlen))
        << pw.size() << " " << salt.size() << " " << iter << " " << outlen;
  }
}

}  // namespace
