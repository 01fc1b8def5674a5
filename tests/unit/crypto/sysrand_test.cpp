#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "platform/lock.h"
#include "tunnel/sysrand.h"

namespace {

using bytes = std::vector<uint8_t>;

uint64_t nowms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u;
}

// One generator as the seed file describes it, stepped here without the
// code under test: x times 69069, y through the 15/17 shift register.
struct Gen {
  uint32_t x, y;
  uint32_t step() {
    x *= 69069u;
    y ^= y >> 15;
    y ^= y << 17;
    return (x ^ y) >> 1;
  }
  void condition() {
    x |= 1;
    y = (y & 0x7FE) | 1;
  }
};

uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }

bytes record(const char* tag, Gen g1, Gen g2) {
  bytes r(tag, tag + 4);
  for (uint32_t v : {g1.x, g1.y, g2.x, g2.y})
    for (int i = 0; i < 4; i++) r.push_back(uint8_t(v >> (8 * i)));
  return r;
}

void writefile(const std::string& path, const bytes& b) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(write(fd, b.data(), b.size()), ssize_t(b.size()));
  close(fd);
}

bytes readfile(const std::string& path) {
  bytes b;
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return b;
  uint8_t buf[256];
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) b.insert(b.end(), buf, buf + n);
  close(fd);
  return b;
}

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// A seed file path in a fresh temporary directory. Its name part is unique to
// the test and the process, so parallel runs never share a lock; the lock's
// file in /tmp is removed with the directory.
struct SeedFile {
  std::string dir, name, path, lockname, lockpath;
  explicit SeedFile(const char* what) {
    char tmpl[] = "/tmp/kevra-sysrand-XXXXXX";
    EXPECT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    name = "Seed" + std::to_string(getpid()) + what;
    path = dir + "/" + name;
    char lock[SYSRAND_MUTEXNAMEMAX + 1];
    sysrandmutexname(path.c_str(), lock);
    lockname = lock;
    lockpath = "/var/tmp/" + lockname + ".lock";
  }
  ~SeedFile() {
    if (DIR* d = opendir(dir.c_str())) {
      while (dirent* e = readdir(d))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) {
          std::string p = dir + "/" + e->d_name;
          if (rmdir(p.c_str()) != 0) unlink(p.c_str());
        }
      closedir(d);
    }
    rmdir(dir.c_str());
    unlink(lockpath.c_str());
  }
};

// A forked child running fn; it is killed and reaped when it outlives the test.
struct Child {
  pid_t pid = -1;
  int status = -1;
  explicit Child(const std::function<int()>& fn) {
    fflush(nullptr);
    pid = fork();
    if (pid == 0) _exit(fn());
  }
  // Wait at most limitms for the exit; true when it ended (status is set).
  bool wait(int limitms) {
    uint64_t end = nowms() + uint64_t(limitms);
    for (;;) {
      if (waitpid(pid, &status, WNOHANG) == pid) {
        pid = -1;
        return true;
      }
      if (nowms() >= end) return false;
      usleep(5000);
    }
  }
  int exitcode() const { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }
  ~Child() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
    }
  }
};

// A pipe on which a child says that it holds the lock.
struct Signal {
  int fd[2];
  Signal() { EXPECT_EQ(pipe(fd), 0); }
  ~Signal() {
    close(fd[0]);
    close(fd[1]);
  }
  void send() { (void)!write(fd[1], "x", 1); }
  bool received(int limitms) {
    pollfd p = {fd[0], POLLIN, 0};
    char c;
    return poll(&p, 1, limitms) == 1 && read(fd[0], &c, 1) == 1;
  }
};

// A call that must work quickly: proves the lock of this name is free.
void expectquickcall(const SeedFile& f) {
  uint32_t a, b;
  uint64_t start = nowms();
  EXPECT_EQ(sysrand(1, f.path.c_str(), &a, &b), 0u);
  EXPECT_LT(nowms() - start, 1000u) << "the lock was left taken";
}

void expectfallback(uint32_t a, uint32_t b) {
  EXPECT_EQ(a, 0x04BCEE5Du);
  EXPECT_EQ(b, 0x030806BFu);
}

}  // namespace

TEST(Sysrand, StepModes) {
  // x = 1, y = 1: x becomes 69069 = 0x10DCD, y becomes 1 ^ 1 << 17 = 0x20001.
  uint32_t x = 1, y = 1;
  EXPECT_EQ(sysrandstep(2, &x, &y), 0x30DCCu);
  EXPECT_EQ(x, 69069u);
  EXPECT_EQ(y, 0x20001u);
  x = 1, y = 1;
  EXPECT_EQ(sysrandstep(1, &x, &y), 0x186E6u);

  // Mode 1 is mode 2 shifted, over a run of steps with high bits in play.
  Gen g = {0x9E3779B9u, 0xDEADBEEFu};
  uint32_t x1 = g.x, y1 = g.y, x2 = g.x, y2 = g.y;
  for (int i = 0; i < 100; i++) {
    uint32_t want = g.step();
    ASSERT_EQ(sysrandstep(1, &x1, &y1), want) << i;
    ASSERT_EQ(sysrandstep(2, &x2, &y2) >> 1, want) << i;
    ASSERT_EQ(x1, g.x);
    ASSERT_EQ(y1, g.y);
  }

  for (int32_t mode : {-1, -2}) {
    x = 0xFFFFFFF0u, y = 0xFFFFFFFFu;
    EXPECT_EQ(sysrandstep(mode, &x, &y), 0u);
    EXPECT_EQ(x, 0xFFFFFFF1u);
    EXPECT_EQ(y, 0x7FFu);
  }
  for (int32_t mode : {0, 3, -3, 0x7FFFFFFF, int32_t(0x80000000)}) {
    x = 123, y = 456;
    EXPECT_EQ(sysrandstep(mode, &x, &y), 1u) << mode;
    EXPECT_EQ(x, 123u);
    EXPECT_EQ(y, 456u);
  }
}

TEST(Sysrand, MutexNameRule) {
  char name[SYSRAND_MUTEXNAMEMAX + 1];
  for (const char* path : {"c:\\Program Files\\Kevra\\SeedFile.Dat", "/var/tmp/seedfile.DAT",
                           "SEEDFILE.dat", "d:SeedFile.dat", "dir/sub\\x:SeedFILE.dat"}) {
    sysrandmutexname(path, name);
    EXPECT_STREQ(name, "MUTEX_SYSRAND_seedfile.dat") << path;
  }
  // Only A to Z are lowered: '@' and '[' sit next to them, bytes above 127 stay.
  sysrandmutexname("/x/@AZ[\xC3\x84", name);
  EXPECT_STREQ(name, "MUTEX_SYSRAND_@az[\xC3\x84");

  std::string fifty = "ABCDEFGHIJabcdefghij0123456789abcdefghijKLMNOPQRST";
  sysrandmutexname(("/tmp/" + fifty).c_str(), name);
  EXPECT_STREQ(name, "MUTEX_SYSRAND_abcdefghijabcdefghij0123456789abcdefghij");
  EXPECT_EQ(strlen(name), SYSRAND_MUTEXNAMEMAX);

  for (const char* path : {"/var/tmp/", "c:\\dir\\", "c:", ""}) {
    memset(name, 'Z', sizeof name);
    sysrandmutexname(path, name);
    EXPECT_STREQ(name, "MUTEX_SYSRAND_") << path;
  }
}

TEST(Sysrand, NewFileIsSeededFromTheTimeConditionedAndTagged) {
  for (bool empty : {false, true}) {
    SeedFile f(empty ? "empty" : "missing");
    if (empty) writefile(f.path, {});
    timespec before, after;
    clock_gettime(CLOCK_REALTIME, &before);
    uint32_t a = 0, b = 0;
    ASSERT_EQ(sysrand(1, f.path.c_str(), &a, &b), 0u);
    clock_gettime(CLOCK_REALTIME, &after);

    bytes rec = readfile(f.path);
    ASSERT_EQ(rec.size(), 20u);
    EXPECT_EQ(std::string(rec.begin(), rec.begin() + 4), "RND1");
    Gen g1 = {le32(&rec[4]), le32(&rec[8])}, g2 = {le32(&rec[12]), le32(&rec[16])};
    EXPECT_EQ(a, (g1.x ^ g1.y) >> 1);
    EXPECT_EQ(b, (g2.x ^ g2.y) >> 1);

    // Undo the one step: 69069 is odd, so x has an inverse multiplier, and a
    // conditioned y below 2^11 is only shifted into bits 17 and up.
    uint32_t inv = 69069u;
    for (int i = 0; i < 5; i++) inv *= 2u - 69069u * inv;
    ASSERT_EQ(69069u * inv, 1u);
    Gen c1 = {g1.x * inv, g1.y & 0x7FF}, c2 = {g2.x * inv, g2.y & 0x7FF};
    EXPECT_EQ(g1.y, c1.y * 0x20001u);
    EXPECT_EQ(g2.y, c2.y * 0x20001u);

    // The conditioned states come from MD5 (OpenSSL's here) of the local
    // time of the call as a SYSTEMTIME: eight 16-bit little-endian fields.
    bool found = false;
    int64_t from = before.tv_sec * 1000LL + before.tv_nsec / 1000000;
    int64_t to = after.tv_sec * 1000LL + after.tv_nsec / 1000000;
    for (int64_t ms = from; ms <= to && !found; ms++) {
      time_t secs = time_t(ms / 1000);
      struct tm lt;
      localtime_r(&secs, &lt);
      const int fields[8] = {lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_wday, lt.tm_mday,
                             lt.tm_hour, lt.tm_min, lt.tm_sec, int(ms % 1000)};
      uint8_t systime[16], d[16];
      for (int i = 0; i < 8; i++) {
        systime[2 * i] = uint8_t(fields[i]);
        systime[2 * i + 1] = uint8_t(fields[i] >> 8);
      }
      EVP_Digest(systime, 16, d, nullptr, EVP_md5(), nullptr);
      Gen s1 = {le32(d), le32(d + 4)}, s2 = {le32(d + 8), le32(d + 12)};
      s1.condition();
      s2.condition();
      found = s1.x == c1.x && s1.y == c1.y && s2.x == c2.x && s2.y == c2.y;
    }
    EXPECT_TRUE(found) << "no local time of the call seeds these states";
  }
}

TEST(Sysrand, GivenStatesAreSteppedAndRewritten) {
  SeedFile f("given");
  const Gen g1 = {0x12345678u, 0xFFFFFFFFu}, g2 = {0x80000000u, 0x0000F00Du};
  const bytes tail = {'t', 'a', 'i', 'l', 0};

  // RND0: conditioned first, then stepped; bytes after the record stay.
  bytes start = record("RND0", g1, g2);
  start.insert(start.end(), tail.begin(), tail.end());
  writefile(f.path, start);
  Gen r1 = g1, r2 = g2;
  r1.condition();
  r2.condition();
  uint32_t want1 = r1.step(), want2 = r2.step();
  uint32_t a = 0, b = 0;
  ASSERT_EQ(sysrand(1, f.path.c_str(), &a, &b), 0u);
  EXPECT_EQ(a, want1);
  EXPECT_EQ(b, want2);
  EXPECT_LE(a, 0x7FFFFFFFu);
  bytes want = record("RND1", r1, r2);
  want.insert(want.end(), tail.begin(), tail.end());
  EXPECT_EQ(readfile(f.path), want);

  // Each further call advances both generators by exactly one step.
  for (int i = 0; i < 3; i++) {
    want1 = r1.step();
    want2 = r2.step();
    ASSERT_EQ(sysrand(1, f.path.c_str(), &a, &b), 0u);
    EXPECT_EQ(a, want1);
    EXPECT_EQ(b, want2);
    want = record("RND1", r1, r2);
    want.insert(want.end(), tail.begin(), tail.end());
    EXPECT_EQ(readfile(f.path), want) << "call " << i + 2;
  }

  // RND1 is stepped as it stands, without conditioning.
  writefile(f.path, record("RND1", g1, g2));
  r1 = g1;
  r2 = g2;
  want1 = r1.step();
  want2 = r2.step();
  ASSERT_EQ(sysrand(1, f.path.c_str(), &a, &b), 0u);
  EXPECT_EQ(a, want1);
  EXPECT_EQ(b, want2);
  EXPECT_EQ(readfile(f.path), record("RND1", r1, r2));
}

TEST(Sysrand, BadRequestCodeTouchesNothing) {
  SeedFile f("reqcode");
  for (uint32_t code : {0u, 2u, 0xFFFFFFFFu}) {
    uint32_t a = 0, b = 0;
    EXPECT_EQ(sysrand(code, f.path.c_str(), &a, &b), 1u);
    expectfallback(a, b);
  }
  EXPECT_FALSE(exists(f.path)) << "seed file created";
  EXPECT_FALSE(exists(f.lockpath)) << "lock taken";
}

TEST(Sysrand, BadSeedFilesAreLeftAloneAndFreeTheLock) {
  Gen g = {5, 7};
  bytes nineteen = record("RND1", g, g);
  nineteen.pop_back();
  const std::vector<bytes> contents = {
      nineteen, {'R'}, record("RND2", g, g), record("rnd1", g, g), record("RND\0", g, g)};
  for (size_t i = 0; i < contents.size(); i++) {
    SeedFile f("bad");
    writefile(f.path, contents[i]);
    uint32_t a = 0, b = 0;
    EXPECT_EQ(sysrand(1, f.path.c_str(), &a, &b), 3u) << "content " << i;
    expectfallback(a, b);
    EXPECT_EQ(readfile(f.path), contents[i]) << "content " << i;
    // The failure gave the lock back: a good file of the same name works.
    writefile(f.path, {});
    expectquickcall(f);
  }

  // Paths that cannot be opened as a seed file: a directory, a missing directory.
  SeedFile f("paths");
  ASSERT_EQ(mkdir(f.path.c_str(), 0700), 0);
  for (const std::string& path : {f.path, f.dir + "/missing/" + f.name}) {
    uint32_t a = 0, b = 0;
    EXPECT_EQ(sysrand(1, path.c_str(), &a, &b), 3u) << path;
    expectfallback(a, b);
  }
  rmdir(f.path.c_str());
  expectquickcall(f);
}

TEST(Sysrand, FifoIsNoSeedFileAndDoesNotHang) {
  SeedFile f("fifo");
  ASSERT_EQ(mkfifo(f.path.c_str(), 0600), 0);
  Child child([&] {
    uint32_t a = 0, b = 0;
    uint32_t rc = sysrand(1, f.path.c_str(), &a, &b);
    return rc == 3 && a == SYSRAND_FALLBACK1 && b == SYSRAND_FALLBACK2 ? 0 : 1;
  });
  ASSERT_TRUE(child.wait(3000)) << "sysrand blocked on a FIFO";
  EXPECT_EQ(child.exitcode(), 0);
}

TEST(Sysrand, FailedWriteKeepsTheNewOutputs) {
  // A file size limit of 10 bytes cuts the 20-byte write short.
  SeedFile f("fsize");
  const Gen g1 = {0xCAFEBABEu, 0x01234567u}, g2 = {0x0BADF00Du, 0x89ABCDEFu};
  writefile(f.path, record("RND1", g1, g2));
  Gen r1 = g1, r2 = g2;
  uint32_t want1 = r1.step(), want2 = r2.step();
  Child child([&] {
    signal(SIGXFSZ, SIG_IGN);
    rlimit lim = {10, 10};
    if (setrlimit(RLIMIT_FSIZE, &lim) != 0) return 9;
    uint32_t a = 0, b = 0;
    uint32_t rc = sysrand(1, f.path.c_str(), &a, &b);
    return rc == 3 && a == want1 && b == want2 ? 0 : 1;
  });
  ASSERT_TRUE(child.wait(5000));
  EXPECT_EQ(child.exitcode(), 0);
  // The write was partial: new bytes up to the limit, the old ones after it.
  bytes now = readfile(f.path), before = record("RND1", g1, g2), after = record("RND1", r1, r2);
  ASSERT_EQ(now.size(), 20u);
  EXPECT_EQ(bytes(now.begin(), now.begin() + 10), bytes(after.begin(), after.begin() + 10));
  EXPECT_EQ(bytes(now.begin() + 10, now.end()), bytes(before.begin() + 10, before.end()));
  expectquickcall(f);
}

TEST(SysrandLock, HolderThatDiesIsTakenOver) {
  SeedFile f("abandon");
  Signal taken;
  Child holder([&] {
    lockh h;
    if (lock_take(f.lockname.c_str(), 0, &h) != LOCK_OBTAINED) return 1;
    taken.send();
    usleep(300 * 1000);
    return 0;  // ends without releasing the lock
  });
  ASSERT_TRUE(taken.received(5000));
  uint32_t a = 0, b = 0;
  uint64_t start = nowms();
  EXPECT_EQ(sysrand(1, f.path.c_str(), &a, &b), 0u);
  uint64_t took = nowms() - start;
  EXPECT_GE(took, 200u) << "the lock was not held";
  EXPECT_LT(took, 4000u);
  ASSERT_TRUE(holder.wait(2000));
  EXPECT_EQ(holder.exitcode(), 0);
}

// Takes about five seconds: the wait for a lock held elsewhere is not shortened.
TEST(SysrandLock, HeldElsewhereGivesCode2AfterFiveSeconds) {
  SeedFile f("held");
  Signal taken;
  Child holder([&] {
    lockh h;
    if (lock_take(f.lockname.c_str(), 0, &h) != LOCK_OBTAINED) return 1;
    taken.send();
    sleep(10);  // killed by the parent well before
    return 0;
  });
  ASSERT_TRUE(taken.received(5000));
  uint32_t a = 0, b = 0;
  uint64_t start = nowms();
  EXPECT_EQ(sysrand(1, f.path.c_str(), &a, &b), 2u);
  uint64_t took = nowms() - start;
  EXPECT_GE(took, 5000u);
  EXPECT_LT(took, 6500u);
  expectfallback(a, b);
  EXPECT_FALSE(exists(f.path)) << "seed file touched without the lock";
}

TEST(SysrandLock, ConcurrentProcessesLoseNoStep) {
  constexpr int N = 1000;
  SeedFile f("concurrent");
  const Gen g1 = {0x11111111u, 0x22222222u}, g2 = {0x33333333u, 0x44444444u};
  writefile(f.path, record("RND1", g1, g2));

  // Two processes step the same file N times each, reporting their outputs;
  // they start together so that their calls overlap.
  int out[2][2];
  ASSERT_EQ(pipe(out[0]), 0);
  ASSERT_EQ(pipe(out[1]), 0);
  Signal go;
  auto worker = [&](int k) {
    return [&, k] {
      if (!go.received(10000)) return 3;
      for (int i = 0; i < N; i++) {
        uint32_t ab[2];
        if (sysrand(1, f.path.c_str(), &ab[0], &ab[1]) != 0) return 1;
        if (write(out[k][1], ab, sizeof ab) != ssize_t(sizeof ab)) return 2;
      }
      return 0;
    };
  };
  std::vector<uint32_t> got;
  {
    Child c0(worker(0)), c1(worker(1));
    go.send();
    go.send();
    EXPECT_TRUE(c0.wait(30000) && c1.wait(30000)) << "workers did not finish";
    EXPECT_EQ(c0.exitcode(), 0);
    EXPECT_EQ(c1.exitcode(), 0);
  }
  for (int k = 0; k < 2; k++) {
    close(out[k][1]);
    uint32_t v;
    while (read(out[k][0], &v, sizeof v) == ssize_t(sizeof v)) got.push_back(v);
    close(out[k][0]);
  }

  // The file ends 2N steps on, and every value of those steps went out once.
  Gen r1 = g1, r2 = g2;
  std::multiset<uint32_t> want1, want2, got1, got2;
  for (int i = 0; i < 2 * N; i++) {
    want1.insert(r1.step());
    want2.insert(r2.step());
  }
  EXPECT_EQ(readfile(f.path), record("RND1", r1, r2));
  ASSERT_EQ(got.size(), size_t(4 * N));
  for (size_t i = 0; i < got.size(); i += 2) {
    got1.insert(got[i]);
    got2.insert(got[i + 1]);
  }
  EXPECT_TRUE(got1 == want1) << "generator 1 values lost or handed out twice";
  EXPECT_TRUE(got2 == want2) << "generator 2 values lost or handed out twice";
}
