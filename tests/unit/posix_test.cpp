// What only a POSIX system can set up: two processes stepping one seed file,
// a seed-file write cut short by the file size limit, parameter files that
// are no regular files, and what another local user could do: hold the
// seed-file lock, plant lock or seed files.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>

#include "platform/lock.h"
#include "params/paramfile.h"
#include "platform/statedir.h"
#include "tunnel/nonces.h"
#include "tunnel/sysrand.h"
#include "unit/unitutil.h"

using namespace ut;

std::string seedrec(const char* tag, const uint32_t s[4]);   // sysrand_test.cpp

TEST(Posix, TwoProcessesSteppingOneSeedFileLoseNoStep) {
  uint32_t s[4] = {0x11111111, 0x22222223, 0x33333333, 0x44444445}, ab[2];
  const std::string path = file("seed", seedrec("RND1", s));
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
  for (int i = 0; i < 2 * N; i++)
    want1.insert(sysrandstep(1, &s[0], &s[1])), want2.insert(sysrandstep(1, &s[2], &s[3]));
  EXPECT_EQ(slurp(path), seedrec("RND1", s));
  EXPECT_TRUE(got1 == want1 && got2 == want2) << "values lost or handed out twice";
}

TEST(Posix, FailedSeedWriteKeepsTheNewValuesPlantedLockFilesAreRefused) {
  const uint32_t s[4] = {0xCAFEBABE, 0x01234567, 0x0BADF00D, 0x89ABCDEF};
  uint32_t t[4] = {s[0], s[1], s[2], s[3]}, o1, o2, w1 = sysrandstep(1, &t[0], &t[1]),
           w2 = sysrandstep(1, &t[2], &t[3]);
  const std::string path = file("seed", seedrec("RND1", s));
  int status = -1;
  pid_t kid = fork();
  if (kid == 0) {   // a file size limit of 10 bytes cuts the 20-byte write short
    rlimit lim = {10, 10};
    signal(SIGXFSZ, SIG_IGN), setrlimit(RLIMIT_FSIZE, &lim);
    _exit(sysrand(1, path.c_str(), &o1, &o2) == 3 && o1 == w1 && o2 == w2 ? 0 : 1);
  }
  waitpid(kid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(slurp(path), seedrec("RND1", t).substr(0, 10) + seedrec("RND1", s).substr(10));

  char fifo[STATEPATHMAX], link[STATEPATHMAX], target[STATEPATHMAX];
  ASSERT_TRUE(state_path("fifo.lock", fifo) && state_path("link.lock", link) &&
              state_path("target", target));
  ASSERT_TRUE(mkfifo(fifo, 0600) == 0 && symlink(target, link) == 0);
  lockh h;
  uint64_t t0 = ms();
  EXPECT_TRUE(lock_take("fifo", 100, &h) == LOCK_NOTCREATED &&
              lock_take("link", 0, &h) == LOCK_NOTCREATED && ms() - t0 < 1000);
  EXPECT_FALSE(std::filesystem::exists(target)) << "the link was followed";
  unlink(fifo), unlink(link);
  // A lock file of ours with a second name elsewhere is replaced by one of its own.
  char hard[STATEPATHMAX];
  const std::string other = file("other", "");
  ASSERT_TRUE(state_path("hard.lock", hard) && chmod(other.c_str(), 0600) == 0 &&
              ::link(other.c_str(), hard) == 0);
  ASSERT_EQ(lock_take("hard", 0, &h), LOCK_OBTAINED);
  struct stat st;
  int second = open(other.c_str(), O_RDONLY);
  EXPECT_TRUE(fstat(int(h), &st) == 0 && st.st_nlink == 1 && flock(second, LOCK_EX | LOCK_NB) == 0)
      << "the lock is held through a second name";
  close(second), lock_release(h);
}

TEST(Posix, ErrnoValuesTranslateToWinsockNumbers) {
  // Winsock's number for every errno value the relay translates (the numbers
  // its messages show); one without a counterpart passes through.
  const int rows[][2] = {{EINTR, 10004},           {EBADF, 10038},
                         {EACCES, 10013},          {EPERM, 10013},
                         {EFAULT, 10014},          {EINVAL, 10022},
                         {EMFILE, 10024},          {ENFILE, 10024},
                         {EAGAIN, 10035},          {EINPROGRESS, 10035},
                         {EALREADY, 10037},        {ENOTSOCK, 10038},
                         {EDESTADDRREQ, 10039},    {EMSGSIZE, 10040},
                         {EPROTOTYPE, 10041},      {ENOPROTOOPT, 10042},
                         {EPROTONOSUPPORT, 10043}, {EOPNOTSUPP, 10045},
                         {EAFNOSUPPORT, 10047},    {EADDRINUSE, 10048},
                         {EADDRNOTAVAIL, 10049},   {ENETDOWN, 10050},
                         {ENETUNREACH, 10051},     {ENETRESET, 10052},
                         {ECONNABORTED, 10053},    {ECONNRESET, 10054},
                         {ENOBUFS, 10055},         {ENOMEM, 10055},
                         {EISCONN, 10056},         {ENOTCONN, 10057},
                         {EPIPE, 10058},           {ESHUTDOWN, 10058},
                         {ETIMEDOUT, 10060},       {ECONNREFUSED, 10061},
                         {EHOSTDOWN, 10064},       {EHOSTUNREACH, 10065},
                         {ENOENT, ENOENT},         {0, 0}};
  for (const auto& r : rows) EXPECT_EQ(net_translate_error(r[0]), r[1]) << r[0];
}

namespace {

// A state folder open to every user (like /var/tmp), in use while it lives.
struct shareddir {
  std::string path = testdir() + "/shared";
  shareddir() {
    std::filesystem::create_directory(path), chmod(path.c_str(), 01777);
    state_usedir(path.c_str());
  }
  ~shareddir() { state_usedir(testdir().c_str()); }
  std::string file(const std::string& name, const std::string& text) const {
    return harness::file("shared/" + name, text);
  }
};

const passwd* nobody() { return geteuid() == 0 ? getpwnam("nobody") : nullptr; }
auto openfds() { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); }

}   // namespace

// A parameter file refused before reading is closed again: a FIFO without a
// writer (opened without waiting), a device, a file over the limit.
TEST(Posix, RefusedParameterFilesAreClosedAtOnce) {
  std::string fifo = testdir() + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const auto fds = openfds();
  for (std::string path :
       {fifo, std::string("/dev/zero"), file("big", std::string(PARAMFILEMAX + 1, '#'))}) {
    paramrec p;
    runctx ctx{};
    ctx.paramrec = &p;
    EXPECT_EQ(out([&] {
                EXPECT_EQ(readparamfile(path.c_str(), &ctx), 1u);
              }).find("** Error opening parameter file "),
              0u);
    EXPECT_EQ(openfds(), fds) << path << " stays open";
  }
}

// Another user must neither hold our lock (which stalls every tunnel 5 s per
// call), nor keep holding one from an earlier version that let everyone open
// it, nor plant a lock file of their own for us to wait on.
TEST(Harden, LockCannotBeHeldByAnotherUser) {
  const passwd* pw = nobody();
  if (pw == nullptr) GTEST_SKIP() << "needs root and a user 'nobody' to act as another local user";
  shareddir sd;
  // Order: lock, whether the other user got hold of it ('h') or not ('n'), result.
  const struct {
    const char* name;
    char held;
    int want;
  } rows[] = {
      {"ours", 'n', LOCK_OBTAINED}, {"old", 'h', LOCK_OBTAINED}, {"planted", 'h', LOCK_NOTCREATED}};
  for (const auto& r : rows) {
    std::string name = r.name, path = sd.path + "/" + name + ".lock";
    lockh h;
    if (name == "ours") {   // made by an earlier call
      ASSERT_EQ(lock_take(r.name, 0, &h), LOCK_OBTAINED);
      lock_release(h);
    } else if (name == "old") {   // made by an earlier version, open to all
      ASSERT_EQ(chmod(sd.file(name + ".lock", "").c_str(), 0666), 0);
    }
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t pid = fork();
    if (pid == 0) {   // the other user: open (or create) the lock file and hold it
      if (setgroups(0, nullptr) != 0 || setgid(pw->pw_gid) != 0 || setuid(pw->pw_uid) != 0)
        _exit(1);
      int fd = open(path.c_str(), O_RDONLY | O_CREAT, 0666);
      char held = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 ? 'h' : 'n';
      (void)!write(ready[1], &held, 1);
      pause();
      _exit(0);
    }
    char held = 0;
    ASSERT_EQ(read(ready[0], &held, 1), 1);
    EXPECT_EQ(held, r.held) << name;
    int rc = lock_take(r.name, 300, &h);
    EXPECT_EQ(rc, r.want) << name;
    if (rc == LOCK_OBTAINED) lock_release(h);
    kill(pid, SIGKILL), waitpid(pid, nullptr, 0), close(ready[0]), close(ready[1]);
  }
}

// A seed file another user made, or may write, is left alone and reported,
// whichever of the two generators it belongs to, and closed again.
TEST(Harden, ForeignSeedFilesAreRefused) {
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
    EXPECT_TRUE(r.want == 0 || slurp(path) == "RND1abcdefghijklmnop") << "refused, yet changed";
  }
  EXPECT_EQ(openfds(), fds) << "a refused seed file stays open";
}

// Where the state goes must not be another user's choice: every folder on
// the way counts, not only the last one. A refused folder gets no seed or
// lock file, whatever a link in it points to.
TEST(Harden, StateFolderOnAWayOnlyWeOrRootControl) {
  struct step {
    const char* path;
    char kind;
    bool other;
    mode_t mode;
  };   // kind 'd' folder, 'l' link to "x"
  // Order: name, what to make under a folder of its own (x is always made,
  // private), the state folder in it, whether the state goes there.
  const struct {
    const char* name;
    std::vector<step> steps;
    const char* dir;
    bool ok;
  } rows[] = {
      {"private", {}, "x", true},
      {"sticky", {{"t", 'd', false, 01777}}, "t", true},
      {"worldwritable", {{"w", 'd', false, 0777}}, "w", false},
      {"groupwritable", {{"g", 'd', false, 0770}}, "g", false},
      {"missing", {}, "none", false},
      {"openonthewayinto", {{"w", 'd', false, 0777}, {"w/s", 'd', false, 0700}}, "w/s", false},
      {"ourlink", {{"l", 'l', false, 0}}, "l", true},
      {"othersfolder", {{"n", 'd', true, 0700}}, "n", false},
      {"othersonthewayinto", {{"n", 'd', true, 0755}, {"n/s", 'd', false, 0700}}, "n/s", false},
      {"otherslinkinasticky", {{"t", 'd', false, 01777}, {"t/l", 'l', true, 0}}, "t/l", false},
  };
  for (const auto& r : rows) {
    bool needsother =
        std::any_of(r.steps.begin(), r.steps.end(), [](const step& s) { return s.other; });
    if (needsother && nobody() == nullptr) continue;
    std::string top = testdir() + "/" + r.name;
    ASSERT_TRUE(std::filesystem::create_directory(top) &&
                std::filesystem::create_directory(top + "/x"));
    chmod((top + "/x").c_str(), 0700);
    for (const step& s : r.steps) {
      std::string p = top + "/" + s.path;
      ASSERT_EQ(s.kind == 'd' ? mkdir(p.c_str(), 0700) : symlink((top + "/x").c_str(), p.c_str()),
                0)
          << p;
      if (s.kind == 'd') {
        ASSERT_EQ(chmod(p.c_str(), s.mode), 0);
      }
      ASSERT_EQ(lchown(p.c_str(), s.other ? nobody()->pw_uid : geteuid(), gid_t(-1)), 0);
    }
    state_usedir((top + "/" + r.dir).c_str());
    uint8_t out[32];
    int rc = gennonce(nullptr, 0, out);
    size_t files = 0;
    for (auto& e : std::filesystem::recursive_directory_iterator(top)) files += e.is_regular_file();
    EXPECT_TRUE(state_folderok() == r.ok && (rc == 0) == r.ok && (files == 4) == r.ok)
        << r.name << ": rc " << rc << ", " << files << " files";
    state_usedir(testdir().c_str());
  }
}
