// The seed files on a POSIX system: two processes stepping one file, a write
// cut short by the file size limit, and seed files another local user made
// or may write.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <set>

#include "tunnel/nonces.h"
#include "tunnel/sysrand.h"
#include "unit/platform/posix/posixutil.h"

using namespace ut;

TEST(SeedFile, TwoProcessesSteppingOneFileLoseNoStep) {
  uint32_t s[4] = {0x11111111, 0x22222223, 0x33333333, 0x44444445}, ab[2];
  const std::string path = file("seed", seedrec("RND1", s));
  constexpr int N = 500;
  int fds[2][2], status = -1;
  pid_t kids[2];
  ASSERT_EQ(pipe(fds[0]), 0);
  ASSERT_EQ(pipe(fds[1]), 0);
  for (int k = 0; k < 2; k++) {
    fflush(nullptr);
    if ((kids[k] = fork()) != 0) continue;
    for (int i = 0; i < N; i++)
      if (sysrand(1, path.c_str(), &ab[0], &ab[1]) != 0 || write(fds[k][1], ab, 8) != 8) _exit(1);
    _exit(0);
  }
  std::multiset<uint32_t> got1, got2, want1, want2;
  for (int k = 0; k < 2; k++) {
    close(fds[k][1]);
    while (read(fds[k][0], ab, 8) == 8) {
      got1.insert(ab[0]);
      got2.insert(ab[1]);
    }
    close(fds[k][0]);
    waitpid(kids[k], &status, 0);
    EXPECT_TRUE(WIFEXITED(status)) << k;
    EXPECT_EQ(WEXITSTATUS(status), 0) << k;
  }
  for (int i = 0; i < 2 * N; i++) {
    want1.insert(sysrandstep(1, &s[0], &s[1]));
    want2.insert(sysrandstep(1, &s[2], &s[3]));
  }
  EXPECT_EQ(slurp(path), seedrec("RND1", s));
  EXPECT_TRUE(got1 == want1) << "values of the first generator lost or handed out twice";
  EXPECT_TRUE(got2 == want2) << "values of the second generator lost or handed out twice";
}

TEST(SeedFile, FailedWriteKeepsTheNewValues) {
  const uint32_t s[4] = {0xCAFEBABE, 0x01234567, 0x0BADF00D, 0x89ABCDEF};
  uint32_t t[4] = {s[0], s[1], s[2], s[3]}, o1, o2;
  const uint32_t w1 = sysrandstep(1, &t[0], &t[1]), w2 = sysrandstep(1, &t[2], &t[3]);
  const std::string path = file("seed", seedrec("RND1", s));
  int status = -1;
  pid_t kid = fork();
  if (kid == 0) {   // a file size limit of 10 bytes cuts the 20-byte write short
    rlimit lim = {10, 10};
    signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &lim);
    uint32_t rc = sysrand(1, path.c_str(), &o1, &o2);
    _exit(rc != 3 ? 1 : o1 != w1 ? 2 : o2 != w2 ? 3 : 0);
  }
  waitpid(kid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: not result 3, 2 or 3: a value not the new one";
  EXPECT_EQ(slurp(path), seedrec("RND1", t).substr(0, 10) + seedrec("RND1", s).substr(10));
}

// A seed file another user made, or may write, is left alone and reported,
// whichever of the two generators it belongs to, and closed again.
TEST(SeedFile, ForeignOnesAreRefused) {
  // Order: file, owned by another user (needs root to give it away), mode,
  // with a second name (a hard link), gennonce's result.
  const struct {
    const char* file;
    bool other;
    mode_t mode;
    bool linked;
    int want;
  } rows[] = {
      {"s1.kvr", false, 0644, false, 0}, {"s2.kvr", false, 0666, false, 3},
      {"s2.kvr", false, 0620, false, 3}, {"s1.kvr", false, 0602, false, 3},
      {"s1.kvr", true, 0600, false, 3},  {"s2.kvr", true, 0644, false, 3},
      {"s2.kvr", false, 0600, true, 3},
  };
  const auto fds = openfds();
  for (const auto& r : rows) {
    if (r.other && nobody() == nullptr) continue;
    shareddir sd;
    std::string path = sd.file(r.file, "RND1abcdefghijklmnop");
    ASSERT_EQ(chown(path.c_str(), r.other ? nobody()->pw_uid : geteuid(), gid_t(-1)), 0);
    ASSERT_EQ(chmod(path.c_str(), r.mode), 0);
    // (The last row: its second name stays.)
    if (r.linked) {
      ASSERT_EQ(link(path.c_str(), (testdir() + "/elsewhere").c_str()), 0);
    }
    uint8_t out[32];
    EXPECT_EQ(gennonce(nullptr, 0, out), r.want) << r.file << " mode " << std::oct << r.mode;
    if (r.want != 0) {
      EXPECT_EQ(slurp(path), "RND1abcdefghijklmnop") << "refused, yet changed";
    }
  }
  EXPECT_EQ(openfds(), fds) << "a refused seed file stays open";
}
