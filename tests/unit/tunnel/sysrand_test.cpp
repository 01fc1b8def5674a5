// The seed-file generators: their steps, and what one call does to each kind
// of seed file; and the system's random bytes in what the nonces come from.
// (What takes a POSIX system, two processes or another user, is in
// unit/platform/posix/seedfile_test.cpp.)
#include "platform/sysinfo.h"
#include "tunnel/nonces.h"
#include "tunnel/sysrand.h"
#include "unit/unitutil.h"

using namespace ut;

TEST(Sysrand, StepModes) {
  // Order: mode, x, y, result, x after, y after.
  const uint32_t rows[][6] = {{2, 1, 1, 0x30DCC, 69069, 0x20001},
                              {1, 1, 1, 0x186E6, 69069, 0x20001},
                              {2, 0x9E3779B9, 0xDEADBEEF, 0x2497DD91, 0xFD53DE25, 0xD9C403B4},
                              {uint32_t(-1), 0xFFFFFFF0, 0xFFFFFFFF, 0, 0xFFFFFFF1, 0x7FF},
                              {uint32_t(-2), 0x12345678, 0x80000800, 0, 0x12345679, 1},
                              {0, 123, 456, 1, 123, 456},
                              {3, 123, 456, 1, 123, 456},
                              {uint32_t(-3), 123, 456, 1, 123, 456}};
  for (const auto& r : rows) {
    uint32_t x = r[1], y = r[2], rc = sysrandstep(int32_t(r[0]), &x, &y);
    EXPECT_EQ(rc, r[3]) << int32_t(r[0]) << " " << r[1];
    EXPECT_EQ(x, r[4]) << int32_t(r[0]) << " " << r[1];
    EXPECT_EQ(y, r[5]) << int32_t(r[0]) << " " << r[1];
  }
}

TEST(Sysrand, WhatOneCallDoesToEachKindOfSeedFile) {
  const std::string path = testdir() + "/seed";
  const uint32_t s[4] = {0x12345678, 0xFFFFFFFF, 0x80000000, 0x0000F00D};
  uint32_t c[4], t[4], o1 = 0, o2 = 0;   // conditioned, then stepped: sysrandstep is the reference
  memcpy(c, s, sizeof c);
  sysrandstep(-1, &c[0], &c[1]);
  sysrandstep(-1, &c[2], &c[3]);
  memcpy(t, c, sizeof t);
  uint32_t want1 = sysrandstep(1, &t[0], &t[1]), want2 = sysrandstep(1, &t[2], &t[3]);
  // Order: file before ("none": no file), request code, result, file after.
  const struct {
    std::string before;
    uint32_t code, rc;
    std::string after;
  } rows[] = {
      {"none", 2, 1, ""},   // a bad request code touches nothing
      {seedrec("RND0", s) + "tail", 1, 0, seedrec("RND1", t) + "tail"},
      {seedrec("RND1", c), 1, 0, seedrec("RND1", t)},
      {seedrec("RND1", c).substr(0, 19), 1, 3, seedrec("RND1", c).substr(0, 19)},
      {seedrec("RND2", c), 1, 3, seedrec("RND2", c)},
      {seedrec("rnd1", c), 1, 3, seedrec("rnd1", c)},
  };
  for (const auto& r : rows) {
    std::filesystem::remove(path);
    if (r.before != "none") file("seed", r.before);
    EXPECT_EQ(sysrand(r.code, path.c_str(), &o1, &o2), r.rc) << r.after.substr(0, 4);
    EXPECT_EQ(slurp(path), r.after);
    EXPECT_EQ(o1, r.rc ? SYSRAND_FALLBACK1 : want1) << r.after.substr(0, 4);
    EXPECT_EQ(o2, r.rc ? SYSRAND_FALLBACK2 : want2) << r.after.substr(0, 4);
  }
  // A new or empty file is seeded from the system, conditioned (x odd) and stepped.
  for (bool empty : {false, true}) {
    std::filesystem::remove(path);
    if (empty) file("seed", "");
    ASSERT_EQ(sysrand(1, path.c_str(), &o1, &o2), 0u);
    std::string f = slurp(path);
    ASSERT_EQ(f.size(), 20u) << empty;
    EXPECT_EQ(f.substr(0, 4), "RND1") << empty;
    EXPECT_TRUE(f[4] & 1) << empty << ": x1 even";
    EXPECT_TRUE(f[12] & 1) << empty << ": x2 even";
  }
  std::filesystem::remove(path);
  std::filesystem::create_directory(path);
  EXPECT_EQ(sysrand(1, path.c_str(), &o1, &o2), SYSRAND_SEEDFILE) << "a folder";
  EXPECT_EQ(sysrand(1, (path + "/missing/seed").c_str(), &o1, &o2), SYSRAND_SEEDFILE)
      << "a missing folder";
}

// Whatever the seed files and the other figures hold (another user may have
// read or set them), the bytes of the system's random source go into what
// the nonces are derived from; when the source fails, gennonce says so and
// its bytes are none.
TEST(Gennonce, SystemRandomBytesReachTheNonceInput) {
  static std::string seen;
  static int failing;
  gennonce_seen = [](const uint8_t* rec, uint32_t len) {
    seen.assign(reinterpret_cast<const char*>(rec), len);
  };
  gennonce_random = [](void* buf, uint32_t len) {
    memset(buf, 0xA7, len);
    return failing;
  };
  const std::string mark(32, '\xA7');
  uint8_t out[32];
  for (int fail : {0, -1}) {
    failing = fail;
    seen.clear();
    EXPECT_EQ(gennonce(nullptr, 0, out), fail ? 11 : 0);
    EXPECT_EQ(seen.find(mark) != std::string::npos, fail == 0) << fail;
  }
  gennonce_random = sys_random;
  gennonce_seen = nullptr;
}
