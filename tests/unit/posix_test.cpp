// What only a POSIX system can set up: two processes stepping one seed file,
// lock files planted as a FIFO or a link, signals during select(), and a
// seed-file write cut short by the file size limit.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>

#include "platform/lock.h"
#include "platform/statedir.h"
#include "tunnel/sysrand.h"
#include "unit/unitutil.h"

using namespace ut;

std::string seedrec(const char* tag, const uint32_t s[4]);   // sysrand_test.cpp

TEST(Posix, TwoProcessesSteppingOneSeedFileLoseNoStep) {
  tmpdir d;
  uint32_t s[4] = {0x11111111, 0x22222223, 0x33333333, 0x44444445}, ab[2];
  const std::string path = d.file("seed", seedrec("RND1", s));
  constexpr int N = 500;
  int fds[2][2], status = -1;
  pid_t kids[2];
  ASSERT_TRUE(pipe(fds[0]) == 0 && pipe(fds[1]) == 0);
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
    while (read(fds[k][0], ab, 8) == 8) got1.insert(ab[0]), got2.insert(ab[1]);
    close(fds[k][0]), waitpid(kids[k], &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  for (int i = 0; i < 2 * N; i++) want1.insert(sysrandstep(1, &s[0], &s[1])), want2.insert(sysrandstep(1, &s[2], &s[3]));
  EXPECT_EQ(tmpdir::read(path), seedrec("RND1", s));
  EXPECT_TRUE(got1 == want1 && got2 == want2) << "values lost or handed out twice";
}

TEST(Posix, FailedSeedWriteKeepsTheNewValuesPlantedLockFilesAreRefused) {
  tmpdir d;
  const uint32_t s[4] = {0xCAFEBABE, 0x01234567, 0x0BADF00D, 0x89ABCDEF};
  uint32_t t[4] = {s[0], s[1], s[2], s[3]}, o1, o2, w1 = sysrandstep(1, &t[0], &t[1]), w2 = sysrandstep(1, &t[2], &t[3]);
  const std::string path = d.file("seed", seedrec("RND1", s));
  int status = -1;
  pid_t kid = fork();
  if (kid == 0) {   // a file size limit of 10 bytes cuts the 20-byte write short
    rlimit lim = {10, 10};
    signal(SIGXFSZ, SIG_IGN), setrlimit(RLIMIT_FSIZE, &lim);
    _exit(sysrand(1, path.c_str(), &o1, &o2) == 3 && o1 == w1 && o2 == w2 ? 0 : 1);
  }
  waitpid(kid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(tmpdir::read(path), seedrec("RND1", t).substr(0, 10) + seedrec("RND1", s).substr(10));

  char fifo[STATEPATHMAX], link[STATEPATHMAX], target[STATEPATHMAX];
  ASSERT_TRUE(state_path("fifo.lock", fifo) && state_path("link.lock", link) && state_path("target", target));
  ASSERT_TRUE(mkfifo(fifo, 0600) == 0 && symlink(target, link) == 0);
  lockh h;
  uint64_t t0 = ms();
  EXPECT_TRUE(lock_take("fifo", 100, &h) == LOCK_NOTCREATED && lock_take("link", 0, &h) == LOCK_NOTCREATED && ms() - t0 < 1000);
  EXPECT_FALSE(std::filesystem::exists(target)) << "the link was followed";
  unlink(fifo), unlink(link);
}

void noop(int) {}

// SIGALRM every 30 ms without SA_RESTART interrupts the wait again and again.
TEST(Posix, SignalsDoNotEndTheWaitOfSelect) {
  uint16_t port = 0;
  sockh l = listener(&port);
  sockset rd{1, {l}};
  struct sigaction sa = {}, old;
  sa.sa_handler = noop;
  itimerval it = {{0, 30000}, {0, 30000}}, off = {};
  ASSERT_EQ(sigaction(SIGALRM, &sa, &old), 0);
  setitimer(ITIMER_REAL, &it, nullptr);
  uint64_t t0 = ms();
  int rc = net_select(&rd, nullptr, nullptr, 300);
  setitimer(ITIMER_REAL, &off, nullptr), sigaction(SIGALRM, &old, nullptr), net_close(l);
  EXPECT_TRUE(rc == 0 && ms() - t0 >= 295 && ms() - t0 < 2000) << rc << " after " << ms() - t0 << " ms";
}

TEST(Posix, ErrnoValuesTranslateToWinsockNumbers) {
  // Winsock's number for the errno values the relay names in its messages that
  // no platform or relay test meets (would block, refused, in use, reset, not
  // connected and bad handle are met there); one without a counterpart passes through.
  const int rows[][2] = {{EINTR, 10004},     {EMFILE, 10024},    {EADDRNOTAVAIL, 10049}, {ECONNABORTED, 10053}, {EPIPE, 10058},
                         {ETIMEDOUT, 10060}, {EHOSTUNREACH, 10065}, {ENOENT, ENOENT},    {0, 0}};
  for (const auto& r : rows) EXPECT_EQ(net_translate_error(r[0]), r[1]) << r[0];
}
