// SHA-1 compression in plain C++ (FIPS 180-1, section 7), and the PBKDF2
// inner loop built on it.
#include <bit>
#include <cstring>
#include <utility>

#include "crypto/secure.h"
#include "crypto/sha1_impl.h"
#include "platform/compiler.h"

namespace {

// Round constant K of each stretch of 20 rounds; the index is round / 20.
constexpr uint32_t SHA1_K[4] = {0x5A827999, 0x6ED9EBA1, 0x8F1BBCDC, 0xCA62C1D6};

// The rounds must be inlined into one function body so that a..e stay in
// registers; called out of line, they pass through memory that the
// schedule writes might alias.

// Round T of 80. The caller rotates the roles of a..e from round to round,
// so no values move between registers; w is the 16-word ring of the
// message schedule, expanded in place from round 16 on.
template <int T>
KV_ALWAYS_INLINE void sha1round(uint32_t a, uint32_t& b, uint32_t c, uint32_t d, uint32_t& e,
                      uint32_t* w) {
  if constexpr (T >= 16)
    w[T & 15] = std::rotl(w[(T + 13) & 15] ^ w[(T + 8) & 15] ^ w[(T + 2) & 15] ^ w[T & 15], 1);
  uint32_t f;
  if constexpr (T < 20)
    f = d ^ (b & (c ^ d));             // choose
  else if constexpr (T >= 40 && T < 60)
    f = (b & c) + (d & (b ^ c));       // majority; the two terms share no bits
  else
    f = b ^ c ^ d;                     // parity
  e += std::rotl(a, 5) + f + SHA1_K[T / 20] + w[T & 15];
  b = std::rotl(b, 30);
}

// Five rounds starting at T bring the roles back to a, b, c, d, e.
template <int T>
KV_ALWAYS_INLINE void sha1five(uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d, uint32_t& e,
                     uint32_t* w) {
  sha1round<T>(a, b, c, d, e, w);
  sha1round<T + 1>(e, a, b, c, d, w);
  sha1round<T + 2>(d, e, a, b, c, w);
  sha1round<T + 3>(c, d, e, a, b, w);
  sha1round<T + 4>(b, c, d, e, a, w);
}

template <int... F>
KV_ALWAYS_INLINE void sha1rounds(uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d, uint32_t& e,
                       uint32_t* w, std::integer_sequence<int, F...>) {
  (sha1five<F * 5>(a, b, c, d, e, w), ...);
}

// compress(h, w): one block, given as its 16 message words; w is consumed.
KV_ALWAYS_INLINE void compress(uint32_t h[5], uint32_t w[16]) {
  uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
  sha1rounds(a, b, c, d, e, w, std::make_integer_sequence<int, 16>{});
  h[0] += a;
  h[1] += b;
  h[2] += c;
  h[3] += d;
  h[4] += e;
}

// padded20(w, m): the last block of a hash over 64 + 20 bytes whose final
// 20 bytes are the words m: m, the 0x80 marker, zeros, the length in bits.
inline void padded20(uint32_t w[16], const uint32_t m[5]) {
  memcpy(w, m, 5 * sizeof(uint32_t));
  w[5] = 0x80000000;
  for (int i = 6; i < 15; i++) w[i] = 0;
  w[15] = (64 + 20) * 8;
}

}  // namespace

void sha1blocks_portable(uint32_t h[5], const uint8_t* p, size_t n) {
  uint32_t w[16];
  for (; n != 0; n--, p += 64) {
    for (int i = 0; i < 16; i++) w[i] = load32be(p + 4 * i);
    compress(h, w);
  }
  // The schedule may hold key bytes (HMAC key blocks).
  secure_zero(w, sizeof w);
}

void sha1hmacchain_portable(const uint32_t ih[5], const uint32_t oh[5], uint32_t (*u)[5],
                            uint32_t (*t)[5], int lanes, uint32_t count) {
  uint32_t w[16], inner[5], outer[5];
  for (int j = 0; j < lanes; j++) {
    for (uint32_t c = 0; c < count; c++) {
      // Inner hash: the keyed state, then the previous U.
      memcpy(inner, ih, sizeof inner);
      padded20(w, u[j]);
      compress(inner, w);
      // Outer hash: the keyed state, then the inner digest.
      memcpy(outer, oh, sizeof outer);
      padded20(w, inner);
      compress(outer, w);
      for (int i = 0; i < 5; i++) {
        u[j][i] = outer[i];
        t[j][i] ^= outer[i];
      }
    }
  }
  secure_zero(w, sizeof w);
  secure_zero(inner, sizeof inner);
  secure_zero(outer, sizeof outer);
}
