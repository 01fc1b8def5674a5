// The cipher context: return codes and their order, the stored layout, the
// direction states, split calls, in-place use, and OpenSSL as a reference.
#include "crypto/cipher.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "common/paramrec.h"
#include "crypto/des.h"
#include "crypto/rc4.h"
#include "hexstr.h"
#include "osslref.h"

namespace {

using bytes = std::vector<uint8_t>;

bytes randbytes(std::mt19937& rng, size_t n) {
  bytes v(n);
  for (auto& b : v) b = uint8_t(rng());
  return v;
}

// A context area with a guard pattern, so stray writes show.
struct area {
  bytes buf;
  explicit area(size_t n = CTXSIZE_DES3 + 64) : buf(n, 0xA5) {}
  uint8_t* p() { return buf.data(); }
};

TEST(CipherInit, ReturnCodesAtTheirBoundariesAndInOrder) {
  struct row {
    uint32_t type, keylen, size, rc;
  };
  const row rows[] = {
      // triple DES: key length at least 32, size at least 2336
      {1, 31, 2336, 2}, {1, 32, 2336, 0}, {1, 300, 2336, 0}, {1, 32, 2335, 3},
      {1, 0, 2336, 2},
      // RC4: key length 1 to 256, size at least 290
      {2, 0, 290, 2}, {2, 1, 290, 0}, {2, 256, 290, 0}, {2, 257, 290, 2}, {2, 32, 289, 3},
      {2, 32, 290, 0},
      // any other type
      {0, 32, 2336, 1}, {3, 32, 2336, 1}, {0xFFFFFFFF, 32, 2336, 1},
      // order: type before key length before size
      {3, 0, 0, 1}, {1, 31, 0, 2}, {2, 257, 0, 2},
  };
  bytes key(300, 0x5A);
  for (const row& r : rows) {
    area a;
    bytes before = a.buf;
    EXPECT_EQ(dataencr_init(r.type, key.data(), r.keylen, a.p(), r.size), r.rc)
        << "type " << r.type << " keylen " << r.keylen << " size " << r.size;
    if (r.rc != 0) {
      EXPECT_EQ(a.buf, before) << "written on failure";
    }
    // Never a byte past the size it was given.
    for (size_t i = r.size; i < a.buf.size(); i++) ASSERT_EQ(a.buf[i], 0xA5) << i;
  }
  // A missing key is an empty one; a missing area is one too small.
  area a;
  EXPECT_EQ(dataencr_init(2, nullptr, 32, a.p(), 290), 2u);
  EXPECT_EQ(dataencr_init(1, key.data(), 32, nullptr, 2336), 3u);
  EXPECT_EQ(a.buf, bytes(a.buf.size(), 0xA5));
  // The sizes the parameter file gives the tunnel are exactly enough.
  EXPECT_EQ(dataencr_init(1, key.data(), 32, a.p(), CTXSIZE_DES3), 0u);
  EXPECT_EQ(dataencr_init(2, key.data(), 32, a.p(), CTXSIZE_RC4), 0u);
}

TEST(CipherInit, StoredLayout) {
  std::mt19937 rng(1);
  bytes key = randbytes(rng, 40);

  area d;
  ASSERT_EQ(dataencr_init(1, key.data(), 40, d.p(), 2336), 0u);
  EXPECT_EQ(bytes(d.buf.begin(), d.buf.begin() + 8), bytes({'Q', 'Z', 'V', 0, 1, 0, 0, 0}));
  EXPECT_EQ(bytes(d.buf.begin() + 8, d.buf.begin() + 16), bytes(8, 0xA5)) << "reserved";
  EXPECT_EQ(bytes(d.buf.begin() + 16, d.buf.begin() + 24), bytes(key.begin() + 24, key.begin() + 32));
  EXPECT_EQ(bytes(d.buf.begin() + 24, d.buf.begin() + 32), bytes(8, 0xA5)) << "reserved";
  for (int n = 0; n < 3; n++) {
    uint8_t ks[DESKSLEN];
    deskeysched(ks, key.data() + 8 * n);
    EXPECT_EQ(memcmp(d.p() + 32 + n * DESKSLEN, ks, DESKSLEN), 0) << "schedule " << n + 1;
  }

  area r;
  ASSERT_EQ(dataencr_init(2, key.data(), 7, r.p(), 290), 0u);
  EXPECT_EQ(bytes(r.buf.begin(), r.buf.begin() + 8), bytes({'Q', 'Z', 'V', 0, 2, 0, 0, 0}));
  EXPECT_EQ(bytes(r.buf.begin() + 8, r.buf.begin() + 32), bytes(24, 0xA5)) << "reserved, feedback";
  uint8_t st[RC4STATELEN];
  rc4setup(st, key.data(), 7);
  for (int n = 0; n < 256; n++) rc4byte(st);
  EXPECT_EQ(memcmp(r.p() + 32, st, RC4STATELEN), 0);
  EXPECT_EQ(r.buf[32 + 256], 0) << "i after 256 steps";
}

// NIST's TDES example keys, initial vector and plaintext; the ciphertext was
// produced with OpenSSL's des-ede3-cfb (64-bit feedback).
TEST(CipherDes3, NistExampleKeysKnownAnswer) {
  bytes key = hex("0123456789ABCDEF23456789ABCDEF01456789ABCDEF0123F69F2445DF4F9B17");
  bytes pt = hex("6BC1BEE22E409F96E93D7E117393172AAE2D8A571E03AC9C9EB76FAC45AF8E51");
  bytes ct = hex("078BB74E59CE7ED67666DE9CF95EAF3FE9ED6BB460F451528A5F9FE4ED710918");
  area e, d;
  ASSERT_EQ(dataencr_init(1, key.data(), 32, e.p(), 2336), 0u);
  ASSERT_EQ(dataencr_init(1, key.data(), 32, d.p(), 2336), 0u);
  bytes out(32);
  ASSERT_EQ(dataencr(e.p(), pt.data(), out.data(), 32), 0u);
  EXPECT_EQ(out, ct);
  ASSERT_EQ(datadecr(d.p(), out.data(), out.data(), 32), 0u);
  EXPECT_EQ(out, pt);
}

TEST(CipherDes3, SplitCallsEqualOneCallAndAPartialBlockEndsTheStream) {
  std::mt19937 rng(2);
  bytes key = randbytes(rng, 32), pt = randbytes(rng, 45);
  auto run = [&](std::initializer_list<uint32_t> parts, bool decr, const bytes& in) {
    area a;
    EXPECT_EQ(dataencr_init(1, key.data(), 32, a.p(), 2336), 0u);
    bytes out(in.size());
    uint32_t at = 0;
    for (uint32_t n : parts) {
      uint32_t rc = decr ? datadecr(a.p(), in.data() + at, out.data() + at, n)
                         : dataencr(a.p(), in.data() + at, out.data() + at, n);
      EXPECT_EQ(rc, 0u);
      at += n;
    }
    return std::make_pair(out, a);
  };
  bytes pt40(pt.begin(), pt.begin() + 40);
  EXPECT_EQ(run({24, 16}, false, pt40).first, run({40}, false, pt40).first);
  auto [ct45, e] = run({40, 5}, false, pt);
  EXPECT_EQ(ct45, run({45}, false, pt).first);
  EXPECT_EQ(ct45, ossl_des3cfb(key.data(), pt.data(), 45, 1));

  // The partial block replaced only the first 5 register bytes, with ciphertext.
  bytes reg(ct45.begin() + 40, ct45.end());
  reg.insert(reg.end(), ct45.begin() + 37, ct45.begin() + 40);
  EXPECT_EQ(bytes(e.buf.begin() + 16, e.buf.begin() + 24), reg);

  // After the 5-byte call: 0x81, and no call of either kind runs or changes anything.
  EXPECT_EQ(e.buf[3], 0x81);
  bytes snap = e.buf, out(8, 0xEE);
  EXPECT_EQ(dataencr(e.p(), pt.data(), out.data(), 8), 3u);
  EXPECT_EQ(datadecr(e.p(), pt.data(), out.data(), 8), 2u);
  EXPECT_EQ(dataencr(e.p(), pt.data(), out.data(), 0), 3u);
  EXPECT_EQ(e.buf, snap);
  EXPECT_EQ(out, bytes(8, 0xEE));

  // The decrypting side mirrors it with 0x82.
  auto [back, d] = run({16, 24, 5}, true, ct45);
  EXPECT_EQ(back, pt);
  EXPECT_EQ(d.buf[3], 0x82);
  EXPECT_EQ(bytes(d.buf.begin() + 16, d.buf.begin() + 24), reg) << "register holds ciphertext";
  snap = d.buf;
  EXPECT_EQ(datadecr(d.p(), pt.data(), out.data(), 8), 3u);
  EXPECT_EQ(dataencr(d.p(), pt.data(), out.data(), 8), 2u);
  EXPECT_EQ(d.buf, snap);
  EXPECT_EQ(out, bytes(8, 0xEE));
}

TEST(CipherState, DirectionTableForBothTypes) {
  bytes key(32, 0x3C), in(8, 0x11);
  for (uint32_t type : {1u, 2u}) {
    for (int state = 0; state < 256; state++) {
      for (int decr = 0; decr < 2; decr++) {
        // Expected code, row by row as the state table reads.
        uint32_t want;
        if (state == 0) want = 0;
        else if (state == 1) want = decr ? 2 : 0;
        else if (state == 2) want = decr ? 0 : 2;
        else if (type == 1 && state == 0x81) want = decr ? 2 : 3;
        else if (type == 1 && state == 0x82) want = decr ? 3 : 2;
        else want = type == 1 ? 1 : 2;

        area a;
        ASSERT_EQ(dataencr_init(type, key.data(), 32, a.p(), 2336), 0u);
        a.buf[3] = uint8_t(state);
        bytes snap = a.buf, out(8, 0xEE);
        uint32_t rc = decr ? datadecr(a.p(), in.data(), out.data(), 8)
                           : dataencr(a.p(), in.data(), out.data(), 8);
        ASSERT_EQ(rc, want) << "type " << type << " state " << state << " decr " << decr;
        if (rc != 0) {
          ASSERT_EQ(a.buf, snap) << "context changed on failure";
          ASSERT_EQ(out, bytes(8, 0xEE)) << "output written on failure";
        } else {
          ASSERT_EQ(a.buf[3], decr ? 2 : 1);
        }
      }
    }
  }
}

TEST(CipherState, LengthZeroFixesTheDirection) {
  bytes key(32, 0x77);
  for (uint32_t type : {1u, 2u}) {
    for (int decr = 0; decr < 2; decr++) {
      area a;
      ASSERT_EQ(dataencr_init(type, key.data(), 32, a.p(), 2336), 0u);
      bytes rest(a.buf.begin() + 4, a.buf.end());
      uint8_t out = 0xEE;
      ASSERT_EQ(decr ? datadecr(a.p(), &out, &out, 0) : dataencr(a.p(), &out, &out, 0), 0u);
      EXPECT_EQ(out, 0xEE);
      EXPECT_EQ(a.buf[3], decr ? 2 : 1) << "type " << type;
      EXPECT_EQ(bytes(a.buf.begin() + 4, a.buf.end()), rest) << "only the state moves";
      EXPECT_EQ(decr ? dataencr(a.p(), &out, &out, 1) : datadecr(a.p(), &out, &out, 1), 2u);
    }
  }
}

TEST(CipherState, BrokenMarkerOrTypeIsCodeOne) {
  bytes key(32, 0x42), in(16, 0x99);
  for (uint32_t type : {1u, 2u}) {
    for (int field : {0, 2, 4, 7}) {
      area a;
      ASSERT_EQ(dataencr_init(type, key.data(), 32, a.p(), 2336), 0u);
      // Corrupt one byte of the marker or of the type.
      a.buf[field] ^= field < 4 ? 0x20 : 0x01;
      if (field == 4) a.buf[4] = 3;
      bytes snap = a.buf, out(16, 0xEE);
      EXPECT_EQ(dataencr(a.p(), in.data(), out.data(), 16), 1u) << type << " " << field;
      EXPECT_EQ(datadecr(a.p(), in.data(), out.data(), 16), 1u) << type << " " << field;
      EXPECT_EQ(a.buf, snap);
      EXPECT_EQ(out, bytes(16, 0xEE));
    }
  }
  EXPECT_EQ(dataencr(nullptr, in.data(), in.data(), 16), 1u);
}

TEST(CipherDes3, ParityBitsOfTheKeysAreIgnoredButTheVectorIsNot) {
  std::mt19937 rng(3);
  bytes key = randbytes(rng, 32), pt = randbytes(rng, 64);
  auto enc = [&](const bytes& k) {
    area a;
    EXPECT_EQ(dataencr_init(1, k.data(), 32, a.p(), 2336), 0u);
    bytes out(pt.size());
    EXPECT_EQ(dataencr(a.p(), pt.data(), out.data(), uint32_t(pt.size())), 0u);
    return out;
  };
  bytes flipped = key;
  for (int i = 0; i < 24; i++) flipped[i] ^= 1;
  EXPECT_EQ(enc(key), enc(flipped));
  flipped[24] ^= 1;
  EXPECT_NE(enc(key), enc(flipped));
}

// Random lengths and random splits, every call in place, against OpenSSL.
TEST(CipherCross, RandomSplitsInPlaceMatchOpenSsl) {
  std::mt19937 rng(4);
  for (int trial = 0; trial < 300; trial++) {
    uint32_t type = trial % 2 ? 2 : 1;
    uint32_t len = trial < 100 ? uint32_t(trial) : uint32_t(rng() % 3000);
    bytes key = randbytes(rng, 32), pt = randbytes(rng, len);
    bytes want = type == 1 ? ossl_des3cfb(key.data(), pt.data(), len, 1)
                           : ossl_rc4drop(key.data(), 32, pt.data(), len);

    // Triple DES may only be split at multiples of 8 (the last part excepted).
    auto cut = [&](uint32_t left) {
      uint32_t n = uint32_t(rng() % (left + 1));
      return type == 1 && n < left ? n & ~7u : n;
    };
    for (int decr = 0; decr < 2; decr++) {
      area a;
      ASSERT_EQ(dataencr_init(type, key.data(), 32, a.p(), 2336), 0u);
      bytes buf = decr ? want : pt;
      for (uint32_t at = 0; at < len;) {
        uint32_t n = cut(len - at);
        uint8_t* p = buf.data() + at;
        ASSERT_EQ(decr ? datadecr(a.p(), p, p, n) : dataencr(a.p(), p, p, n), 0u);
        at += n;
      }
      ASSERT_EQ(buf, decr ? pt : want) << "type " << type << " len " << len << " decr " << decr;
    }
  }
}

}  // namespace
