#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "platform/lock.h"

namespace {

uint64_t nowms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u;
}

// A lock name of its own per test and process; its file is removed afterwards.
struct TestLock {
  std::string name;
  std::string path;
  explicit TestLock(const char* what)
      : name("kevratest_" + std::to_string(getpid()) + "_" + what), path("/var/tmp/" + name + ".lock") {
    unlink(path.c_str());
  }
  ~TestLock() { unlink(path.c_str()); }
};

}  // namespace

TEST(Lock, ExcludesOtherTakersUntilReleasedAndTimesOut) {
  TestLock t("excl");
  lockh first, second;
  ASSERT_EQ(lock_take(t.name.c_str(), 0, &first), LOCK_OBTAINED);

  // A second taker in the same process is shut out as well, for the whole wait.
  uint64_t start = nowms();
  EXPECT_EQ(lock_take(t.name.c_str(), 150, &second), LOCK_TIMEDOUT);
  uint64_t took = nowms() - start;
  EXPECT_GE(took, 150u);
  EXPECT_LT(took, 1500u);

  lock_release(first);
  ASSERT_EQ(lock_take(t.name.c_str(), 0, &second), LOCK_OBTAINED);
  lock_release(second);
}

TEST(Lock, FileIsPrivateToTheUser) {
  TestLock t("mode");
  mode_t old = umask(022);
  lockh h;
  int rc = lock_take(t.name.c_str(), 0, &h);
  umask(old);
  ASSERT_EQ(rc, LOCK_OBTAINED);
  struct stat st;
  ASSERT_EQ(stat(t.path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  lock_release(h);
  // The file stays for the next taker, who opens it again.
  ASSERT_EQ(lock_take(t.name.c_str(), 0, &h), LOCK_OBTAINED);
  lock_release(h);
}

TEST(Lock, BadNamesAndPlantedFilesAreRefused) {
  lockh h;
  EXPECT_EQ(lock_take("", 0, &h), LOCK_NOTCREATED);
  EXPECT_EQ(lock_take("a/b", 0, &h), LOCK_NOTCREATED);
  EXPECT_EQ(lock_take(std::string(LOCK_NAMEMAX + 1, 'n').c_str(), 0, &h), LOCK_NOTCREATED);

  // A FIFO must neither block the open nor pass for a lock file.
  TestLock fifo("fifo");
  ASSERT_EQ(mkfifo(fifo.path.c_str(), 0600), 0);
  uint64_t start = nowms();
  EXPECT_EQ(lock_take(fifo.name.c_str(), 100, &h), LOCK_NOTCREATED);
  EXPECT_LT(nowms() - start, 1000u);

  // A symbolic link is not followed to whatever it points at.
  TestLock link("link");
  TestLock target("target");
  ASSERT_EQ(symlink(target.path.c_str(), link.path.c_str()), 0);
  EXPECT_EQ(lock_take(link.name.c_str(), 0, &h), LOCK_NOTCREATED);
  struct stat st;
  EXPECT_NE(stat(target.path.c_str(), &st), 0) << "the link's target was created";
}
