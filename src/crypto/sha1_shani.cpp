// SHA-1 compression with the x86 SHA instructions, and the PBKDF2 inner loop
// built on it. The build compiles this one file with the SHA and SSE4.1
// instruction sets enabled; sha1.cpp checks CPUID before anything here runs.
// Without those instruction sets (another processor family) the file only
// reports that the path is missing. Nothing here may call an inline
// function that other files share: the linker could keep this file's copy,
// built with the SHA instructions, for the whole program.
#include "crypto/sha1_impl.h"
#include "platform/compiler.h"

#if defined(__SHA__) && defined(__SSE4_1__)

#include <immintrin.h>

#include <utility>

namespace {

// Everything below must end up in one function body with the lanes'
// registers in plain sight of the register allocator; an out-of-line call
// would pass them through memory.
#define SHANI_INLINE KV_ALWAYS_INLINE
#define SHANI_LAMBDA KV_LAMBDA_ALWAYS_INLINE

// The state of one hash in registers: abcd holds H0..H3 with H0 in the top
// 32-bit lane; e holds H4 in the top lane and zeros below. Message words
// are held the same way, the first of each group of four in the top lane.

SHANI_INLINE __m128i bswapmask() { return _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL); }

SHANI_INLINE __m128i loadabcd(const uint32_t h[5]) {
  return _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(h)), 0x1B);
}
SHANI_INLINE __m128i loade(const uint32_t h[5]) { return _mm_set_epi32(static_cast<int>(h[4]), 0, 0, 0); }
SHANI_INLINE void storestate(uint32_t h[5], __m128i abcd, __m128i e) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(h), _mm_shuffle_epi32(abcd, 0x1B));
  h[4] = static_cast<uint32_t>(_mm_extract_epi32(e, 3));
}

// A lane number known at compile time (a type of this file, so that no
// shared template code is instantiated here).
template <int J>
struct lane {
  constexpr operator int() const { return J; }
};

// Call f(0), f(1), ... f(N-1) with compile-time lane numbers.
template <int N, class F>
SHANI_INLINE void forlanes(F&& f) {
  [&]<int... J>(std::integer_sequence<int, J...>) SHANI_LAMBDA {
    (f(lane<J>{}), ...);
  }(std::make_integer_sequence<int, N>{});
}

// Group G of the 20 groups of four rounds, for N independent hashes side by
// side so that the processor overlaps their latencies. m[j][G % 4] holds
// message words 4G..4G+3; the later groups' words are expanded in the same
// four registers (W[t] from W[t-3], W[t-8], W[t-14], W[t-16]). ee[j][G % 2]
// holds E for this group, and receives abcd for the next.
template <int G, int N>
SHANI_INLINE void sha1group(__m128i (&abcd)[N], __m128i (&ee)[N][2], __m128i (&m)[N][4]) {
  forlanes<N>([&](auto j) SHANI_LAMBDA {
    __m128i& cur = ee[j][G & 1];
    if constexpr (G == 0)
      cur = _mm_add_epi32(cur, m[j][0]);
    else
      cur = _mm_sha1nexte_epu32(cur, m[j][G % 4]);
    ee[j][(G + 1) & 1] = abcd[j];
    if constexpr (G >= 3 && G <= 18)
      m[j][(G + 1) % 4] = _mm_sha1msg2_epu32(m[j][(G + 1) % 4], m[j][G % 4]);
    abcd[j] = _mm_sha1rnds4_epu32(abcd[j], cur, G / 5);
    if constexpr (G >= 1 && G <= 16)
      m[j][(G + 3) % 4] = _mm_sha1msg1_epu32(m[j][(G + 3) % 4], m[j][G % 4]);
    if constexpr (G >= 2 && G <= 17)
      m[j][(G + 2) % 4] = _mm_xor_si128(m[j][(G + 2) % 4], m[j][G % 4]);
  });
}

template <int N, int... G>
SHANI_INLINE void sha1groups(__m128i (&abcd)[N], __m128i (&ee)[N][2], __m128i (&m)[N][4],
                             std::integer_sequence<int, G...>) {
  (sha1group<G>(abcd, ee, m), ...);
}

// compress<N>(abcd, e, m): one block for each of N hashes; m is consumed.
template <int N>
SHANI_INLINE void compress(__m128i (&abcd)[N], __m128i (&e)[N], __m128i (&m)[N][4]) {
  __m128i abcd0[N], ee[N][2];
  forlanes<N>([&](auto j) SHANI_LAMBDA {
    abcd0[j] = abcd[j];
    ee[j][0] = e[j];
  });
  sha1groups(abcd, ee, m, std::make_integer_sequence<int, 20>{});
  forlanes<N>([&](auto j) SHANI_LAMBDA {
    e[j] = _mm_sha1nexte_epu32(ee[j][0], e[j]);
    abcd[j] = _mm_add_epi32(abcd[j], abcd0[j]);
  });
}

// chain<N>: sha1hmacchain for exactly N lanes. The 20-byte messages never
// leave the registers: a digest in abcd/e form is already the first five
// message words of the next block.
template <int N>
void chain(const uint32_t ih[5], const uint32_t oh[5], uint32_t (*u)[5], uint32_t (*t)[5],
           uint32_t count) {
  const __m128i kabcd = loadabcd(ih), ke = loade(ih);
  const __m128i okabcd = loadabcd(oh), oke = loade(oh);
  // The marker 0x80 right after 20 message bytes, and the length in bits of
  // the 64 + 20 bytes that each inner and outer hash takes in.
  const __m128i marker = _mm_set_epi32(0, static_cast<int>(0x80000000), 0, 0);
  const __m128i length = _mm_set_epi32(0, 0, 0, (64 + 20) * 8);
  const __m128i zero = _mm_setzero_si128();

  __m128i ua[N], ue[N], ta[N], te[N];
  forlanes<N>([&](auto j) SHANI_LAMBDA {
    ua[j] = loadabcd(u[j]);
    ue[j] = loade(u[j]);
    ta[j] = loadabcd(t[j]);
    te[j] = loade(t[j]);
  });

  for (uint32_t c = 0; c < count; c++) {
    __m128i ia[N], ie[N], oa[N], oe[N], m[N][4];
    // Inner hash: the keyed state, then the previous U.
    forlanes<N>([&](auto j) SHANI_LAMBDA {
      ia[j] = kabcd;
      ie[j] = ke;
      m[j][0] = ua[j];
      m[j][1] = _mm_or_si128(ue[j], marker);
      m[j][2] = zero;
      m[j][3] = length;
    });
    compress<N>(ia, ie, m);
    // Outer hash: the keyed state, then the inner digest.
    forlanes<N>([&](auto j) SHANI_LAMBDA {
      oa[j] = okabcd;
      oe[j] = oke;
      m[j][0] = ia[j];
      m[j][1] = _mm_or_si128(ie[j], marker);
      m[j][2] = zero;
      m[j][3] = length;
    });
    compress<N>(oa, oe, m);
    forlanes<N>([&](auto j) SHANI_LAMBDA {
      ua[j] = oa[j];
      ue[j] = oe[j];
      ta[j] = _mm_xor_si128(ta[j], oa[j]);
      te[j] = _mm_xor_si128(te[j], oe[j]);
    });
  }

  forlanes<N>([&](auto j) SHANI_LAMBDA {
    storestate(u[j], ua[j], ue[j]);
    storestate(t[j], ta[j], te[j]);
  });
}

}  // namespace

bool sha1shani_built() { return true; }

void sha1blocks_shani(uint32_t h[5], const uint8_t* p, size_t n) {
  const __m128i mask = bswapmask();
  __m128i abcd[1] = {loadabcd(h)}, e[1] = {loade(h)};
  for (; n != 0; n--, p += 64) {
    __m128i m[1][4];
    for (int i = 0; i < 4; i++)
      m[0][i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i)), mask);
    compress<1>(abcd, e, m);
  }
  storestate(h, abcd[0], e[0]);
}

void sha1hmacchain_shani(const uint32_t ih[5], const uint32_t oh[5], uint32_t (*u)[5],
                         uint32_t (*t)[5], int lanes, uint32_t count) {
  // All lanes in one pass: the SHA instructions' latency leaves room for
  // five independent hashes, even though the lanes' states then spill from
  // registers (measured: 5 lanes in one pass take 0.6 of the time of 2+2+1).
  static_assert(SHA1_MAXLANES == 5, "one case per number of lanes");
  switch (lanes) {
    case 1: chain<1>(ih, oh, u, t, count); break;
    case 2: chain<2>(ih, oh, u, t, count); break;
    case 3: chain<3>(ih, oh, u, t, count); break;
    case 4: chain<4>(ih, oh, u, t, count); break;
    default: chain<5>(ih, oh, u, t, count); break;
  }
}

#else  // no SHA instructions in this build

bool sha1shani_built() { return false; }

void sha1blocks_shani(uint32_t h[5], const uint8_t* p, size_t n) { sha1blocks_portable(h, p, n); }

void sha1hmacchain_shani(const uint32_t ih[5], const uint32_t oh[5], uint32_t (*u)[5],
                         uint32_t (*t)[5], int lanes, uint32_t count) {
  sha1hmacchain_portable(ih, okey, u, t, lanes, count);
}

#endif
