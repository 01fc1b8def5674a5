// The seed-file generators: their steps, the names of their locks, what one
// call does to each kind of seed file, and two processes stepping one file
// at once. Uses fork(), FIFOs and symbolic links: POSIX only.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>

#include "platform/lock.h"
#include "platform/statedir.h"
#include "tunnel/sysrand.h"
#include "unit/unitutil.h"

using namespace ut;

namespace {


// seedrec(tag, s): a seed record with the states x1, y1, x2, y2.
std::string seedrec(const char* tag, const uint32_t s[4]) {
  return tag + le32(s[0]) + le32(s[1]) + le32(s[2]) + le32(s[3]);
}

std::string content(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

}  // namespace

TEST(Sysrand, StepModes) {
  // Order: mode, x, y, result, x after, y after.
  const uint32_t rows[][6] = {
      {2, 1, 1, 0x30DCC, 69069, 0x20001},
      {1, 1, 1, 0x186E6, 69069, 0x20001},
      {2, 0x9E3779B9, 0xDEADBEEF, 0x2497DD91, 0xFD53DE25, 0xD9C403B4},
      {uint32_t(-1), 0xFFFFFFF0, 0xFFFFFFFF, 0, 0xFFFFFFF1, 0x7FF},
      {uint32_t(-2), 0x12345678, 0x80000800, 0, 0x12345679, 1},
      {0, 123, 456, 1, 123, 456},
      {3, 123, 456, 1, 123, 456},
      {uint32_t(-3), 123, 456, 1, 123, 456},
  };
  for (const auto& r : rows) {
    uint32_t x = r[1], y = r[2];
    EXPECT_EQ(sysrandstep(int32_t(r[0]), &x, &y), r[3]) << int32_t(r[0]) << " " << r[1];
    EXPECT_TRUE(x == r[4] && y == r[5]) << int32_t(r[0]) << " " << r[1];
  }
}

TEST(Sysrand, LockNames) {
  const char* const rows[][2] = {
      {"c:\\Program Files\\Kevra\\SeedFile.Dat", "seedfile.dat"}, {"/var/tmp/seedfile.DAT", "seedfile.dat"},
      {"d:SeedFile.dat", "seedfile.dat"}, {"dir/sub\\x:SeedFILE.dat", "seedfile.dat"},
      {"/x/@AZ[\xC3\x84", "@az[\xC3\x84"},   // only A to Z are lowered
      {"/tmp/ABCDEFGHIJabcdefghij0123456789abcdefghijKLMNOPQRST", "abcdefghijabcdefghij0123456789abcdefghij"},
      {"/var/tmp/", ""}, {"c:", ""}, {"", ""},
  };
  for (const auto& r : rows) {
    char name[SYSRAND_MUTEXNAMEMAX + 1];
    sysrandmutexname(r[0], name);
    EXPECT_EQ(std::string(name), std::string("MUTEX_SYSRAND_") + r[1]) << r[0];
  }
}

TEST(Sysrand, WhatOneCallDoesToEachKindOfSeedFile) {
  tmpdir d;
  const std::string path = (d.path / "seed").string();
  const uint32_t s[4] = {0x12345678, 0xFFFFFFFF, 0x80000000, 0x0000F00D};
  uint32_t c[4], t[4], o1 = 0, o2 = 0;   // conditioned, then stepped
  memcpy(c, s, sizeof c);
  sysrandstep(-1, &c[0], &c[1]), sysrandstep(-1, &c[2], &c[3]);
  memcpy(t, c, sizeof t);
  uint32_t want1 = sysrandstep(1, &t[0], &t[1]), want2 = sysrandstep(1, &t[2], &t[3]);
  const std::string tail = "tail";
  // Order: file before ("none": no file), request code, result, file after.
  const struct {
    std::string before;
    uint32_t code, rc;
    std::string after;
  } rows[] = {
      {"none", 2, 1, ""},   // a bad request code touches nothing
      {(seedrec("RND0", s) + tail), 1, 0, seedrec("RND1", t) + tail},
      {seedrec("RND1", c), 1, 0, seedrec("RND1", t)},
      {seedrec("RND1", c).substr(0, 19), 1, 3, seedrec("RND1", c).substr(0, 19)},
      {seedrec("RND2", c), 1, 3, seedrec("RND2", c)},
      {seedrec("rnd1", c), 1, 3, seedrec("rnd1", c)},
  };
  for (const auto& r : rows) {
    std::filesystem::remove(path);
    if (r.before != "none") d.file("seed", r.before);
    EXPECT_EQ(sysrand(r.code, path.c_str(), &o1, &o2), r.rc) << r.after.substr(0, 4);
    EXPECT_EQ(content(path), r.after);
    bool fallback = r.rc != 0;
    EXPECT_EQ(o1, fallback ? SYSRAND_FALLBACK1 : want1);
    EXPECT_EQ(o2, fallback ? SYSRAND_FALLBACK2 : want2);
  }
  // A new or empty file is seeded, conditioned and stepped: odd x, and y a
  // conditioned 11-bit value stepped once.
  for (bool empty : {false, true}) {
    std::filesystem::remove(path);
    if (empty) d.file("seed", "");
    ASSERT_EQ(sysrand(1, path.c_str(), &o1, &o2), 0u);
    std::string f = content(path);
    ASSERT_EQ(f.substr(0, 4), "RND1");
    ASSERT_EQ(f.size(), 20u);
    for (int g = 0; g < 2; g++) {
      uint32_t x, y;
      memcpy(&x, f.data() + 4 + 8 * g, 4), memcpy(&y, f.data() + 8 + 8 * g, 4);
      EXPECT_TRUE((x & 1) && (y & 1) && y == (y & 0x7FF) * 0x20001u) << g;
      EXPECT_EQ(g ? o2 : o1, (x ^ y) >> 1);
    }
  }
  std::filesystem::remove(path);
  std::filesystem::create_directory(path);
  EXPECT_EQ(sysrand(1, path.c_str(), &o1, &o2), 3u);
  EXPECT_EQ(sysrand(1, (path + "/missing/seed").c_str(), &o1, &o2), 3u);
}

TEST(Sysrand, TwoProcessesSteppingOneFileLoseNoStep) {
  tmpdir d;
  const uint32_t s[4] = {0x11111111, 0x22222223, 0x33333333, 0x44444445};
  const std::string path = d.file("seed", seedrec("RND1", s));
  constexpr int N = 500;
  int fds[2][2];
  ASSERT_TRUE(pipe(fds[0]) == 0 && pipe(fds[1]) == 0);
  pid_t kids[2];
  for (int k = 0; k < 2; k++) {
    fflush(nullptr);
    if ((kids[k] = fork()) == 0) {
      for (int i = 0; i < N; i++) {
        uint32_t ab[2];
        if (sysrand(1, path.c_str(), &ab[0], &ab[1]) != 0 || write(fds[k][1], ab, 8) != 8) _exit(1);
      }
      _exit(0);
    }
  }
  std::multiset<uint32_t> got1, got2, want1, want2;
  for (int k = 0; k < 2; k++) {
    close(fds[k][1]);
    uint32_t ab[2];
    while (read(fds[k][0], ab, 8) == 8) got1.insert(ab[0]), got2.insert(ab[1]);
    close(fds[k][0]);
    int status = -1;
    waitpid(kids[k], &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  uint32_t t[4];
  memcpy(t, s, sizeof t);
  for (int i = 0; i < 2 * N; i++) want1.insert(sysrandstep(1, &t[0], &t[1])), want2.insert(sysrandstep(1, &t[2], &t[3]));
  EXPECT_EQ(content(path), seedrec("RND1", t));
  EXPECT_TRUE(got1 == want1 && got2 == want2) << "values lost or handed out twice";
}

TEST(Lock, PlantedFifoOrLinkIsNoLockFile) {
  char fifo[STATEPATHMAX], link[STATEPATHMAX], target[STATEPATHMAX];
  ASSERT_TRUE(state_path("fifo.lock", fifo) && state_path("link.lock", link) && state_path("target", target));
  ASSERT_EQ(mkfifo(fifo, 0600), 0);
  ASSERT_EQ(symlink(target, link), 0);
  lockh h;
  uint64_t t0 = ms();
  EXPECT_EQ(lock_take("fifo", 100, &h), LOCK_NOTCREATED);
  EXPECT_EQ(lock_take("link", 0, &h), LOCK_NOTCREATED);
  EXPECT_LT(ms() - t0, 1000u);
  EXPECT_FALSE(std::filesystem::exists(target)) << "the link was followed";
  unlink(fifo), unlink(link);
}
