// What only a POSIX system can set up: lock files planted or held by
// another local user, state folders on a way others control, parameter
// files that are no regular files, and errno values as Winsock numbers.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>

#include "params/paramfile.h"
#include "platform/lock.h"
#include "tunnel/nonces.h"
#include "unit/platform/posix/posixutil.h"

using namespace ut;

// A lock file that is a FIFO or a link is refused, never waited on or
// followed; one of ours with a second name elsewhere is replaced by one of
// its own.
TEST(Harden, PlantedLockFilesAreRefused) {
  char fifo[STATEPATHMAX], link[STATEPATHMAX], target[STATEPATHMAX];
  ASSERT_TRUE(state_path("fifo.lock", fifo));
  ASSERT_TRUE(state_path("link.lock", link));
  ASSERT_TRUE(state_path("target", target));
  ASSERT_EQ(mkfifo(fifo, 0600), 0);
  ASSERT_EQ(symlink(target, link), 0);
  lockh h;
  uint64_t t0 = ms();
  EXPECT_EQ(lock_take("fifo", 100, &h), LOCK_NOTCREATED);
  EXPECT_EQ(lock_take("link", 0, &h), LOCK_NOTCREATED);
  EXPECT_LT(ms() - t0, 1000u);
  EXPECT_FALSE(std::filesystem::exists(target)) << "the link was followed";
  unlink(fifo);
  unlink(link);
  char hard[STATEPATHMAX];
  const std::string other = file("other", "");
  ASSERT_TRUE(state_path("hard.lock", hard));
  ASSERT_EQ(chmod(other.c_str(), 0600), 0);
  ASSERT_EQ(::link(other.c_str(), hard), 0);
  ASSERT_EQ(lock_take("hard", 0, &h), LOCK_OBTAINED);
  struct stat st;
  int second = open(other.c_str(), O_RDONLY);
  ASSERT_EQ(fstat(int(h), &st), 0);
  EXPECT_EQ(st.st_nlink, 1u) << "the lock file has a second name";
  EXPECT_EQ(flock(second, LOCK_EX | LOCK_NB), 0) << "the lock is held through a second name";
  close(second);
  lock_release(h);
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
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
  }
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
    ASSERT_TRUE(std::filesystem::create_directory(top));
    ASSERT_TRUE(std::filesystem::create_directory(top + "/x"));
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
    EXPECT_EQ(state_folderok(), r.ok) << r.name;
    EXPECT_EQ(rc == 0, r.ok) << r.name << ": rc " << rc;
    EXPECT_EQ(files == 4, r.ok) << r.name << ": " << files << " files";
    state_usedir(testdir().c_str());
  }
}

// A parameter file refused before reading is closed again: a FIFO without a
// writer (opened without waiting), a device, a file over the limit.
TEST(PosixFile, RefusedParameterFilesAreClosedAtOnce) {
  std::string fifo = testdir() + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const auto fds = openfds();
  for (std::string path :
       {fifo, std::string("/dev/zero"), file("big", std::string(PARAMFILEMAX + 1, '#'))}) {
    paramrec p;
    runctx ctx{};
    ctx.paramrec = &p;
    std::string log = out([&] { EXPECT_EQ(readparamfile(path.c_str(), &ctx), 1u); });
    EXPECT_EQ(log.find("** Error opening parameter file "), 0u) << log;
    EXPECT_EQ(openfds(), fds) << path << " stays open";
  }
}

TEST(PosixNet, ErrnoValuesTranslateToWinsockNumbers) {
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
