// What another local user or a careless parameter file could do: hold the
// seed-file lock, plant seed files, read secrets in messages, leave a filter
// rule half written.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>

#include "platform/lock.h"
#include "platform/statedir.h"
#include "platform/sysinfo.h"
#include "tunnel/keysetup.h"
#include "unit/unitutil.h"

namespace {

// A state folder open to every user (like /var/tmp), in use while it lives.
struct statedir : ut::tmpdir {
  statedir() {
    chmod(path.c_str(), 01777);
    state_usedir(path.c_str());
  }
  ~statedir() { state_usedir(ut::statedir.c_str()); }
};

const passwd* nobody() { return geteuid() == 0 ? getpwnam("nobody") : nullptr; }

}  // namespace

// Another user must neither hold our lock (which stalls every tunnel 5 s per
// call), nor keep holding one from an earlier version that let everyone open
// it, nor plant a lock file of their own for us to wait on.
TEST(Harden, LockCannotBeHeldByAnotherUser) {
  const passwd* pw = nobody();
  if (pw == nullptr) GTEST_SKIP() << "needs root and a user 'nobody' to act as another local user";
  statedir sd;
  // Order: lock, whether the other user got hold of it ('h') or not ('n'), result.
  const struct { const char* name; char held; int want; } rows[] = {
      {"ours", 'n', LOCK_OBTAINED}, {"old", 'h', LOCK_OBTAINED}, {"planted", 'h', LOCK_NOTCREATED}};
  for (const auto& r : rows) {
    std::string name = r.name, path = sd.path.string() + "/" + name + ".lock";
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
      if (setgroups(0, nullptr) != 0 || setgid(pw->pw_gid) != 0 || setuid(pw->pw_uid) != 0) _exit(1);
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
// whichever of the two generators it belongs to.
TEST(Harden, ForeignSeedFilesAreRefused) {
  // Order: file, owned by another user (needs root to give it away), mode, gennonce's result.
  const struct { const char* file; bool other; mode_t mode; int want; } rows[] = {
      {"s1.kvr", false, 0644, 0}, {"s2.kvr", false, 0666, 3}, {"s2.kvr", false, 0620, 3},
      {"s1.kvr", false, 0602, 3}, {"s1.kvr", true, 0600, 3},  {"s2.kvr", true, 0644, 3},
  };
  for (const auto& r : rows) {
    if (r.other && nobody() == nullptr) continue;
    statedir sd;
    std::string path = sd.file(r.file, "RND1abcdefghijklmnop");
    ASSERT_EQ(chown(path.c_str(), r.other ? nobody()->pw_uid : geteuid(), gid_t(-1)), 0);
    ASSERT_EQ(chmod(path.c_str(), r.mode), 0);
    uint8_t out[32];
    EXPECT_EQ(gennonce(nullptr, 0, out), r.want) << r.file << " mode " << std::oct << r.mode;
    EXPECT_TRUE(r.want == 0 || ut::tmpdir::read(path) == "RND1abcdefghijklmnop") << "refused, yet changed";
  }
}

// The nonce seed's own random bytes, and the state folder a service manager gives.
TEST(Harden, SystemRandomSourceAndServiceStateFolder) {
  uint8_t a[64] = {}, b[64] = {}, zero[32] = {};
  ASSERT_EQ(sys_random(a, sizeof a) + sys_random(b, sizeof b), 0);
  EXPECT_TRUE(memcmp(a, b, 64) != 0 && memcmp(a + 32, zero, 32) != 0);   // the tail is filled too

  char path[STATEPATHMAX];
  state_usedir(nullptr);
  for (const char* env : {"/var/lib/kevra:/var/lib/other", "relative", ""}) {
    setenv("STATE_DIRECTORY", env, 1);
    ASSERT_TRUE(state_path("s1.kvr", path));
    EXPECT_STREQ(path, env[0] == '/' ? "/var/lib/kevra/s1.kvr" : "/var/tmp/s1.kvr");
  }
  unsetenv("STATE_DIRECTORY");
  state_usedir(ut::statedir.c_str());
}
