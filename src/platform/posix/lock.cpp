#include "platform/lock.h"

#include "platform/posix/statefolder.h"
#include "platform/statedir.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr char LOCK_SUFFIX[] = ".lock";
// Pause between two tries while the lock is held. A seed-file holder keeps it
// for some tens of microseconds, and a relay waits here with every connection
// held up, so the pause is short.
constexpr uint32_t LOCK_POLLMS = 1;

uint64_t nowms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u;
}

int openretry(int dir, const char* name, int flags, mode_t mode) {
  int fd;
  do fd = ::openat(dir, name, flags, mode);
  while (fd < 0 && errno == EINTR);
  return fd;
}

// Open the lock file called name in the state folder dir, creating it when
// it is missing; -1 on failure or when the file is not one that only this
// user can open.
int openlockfile(int dir, const char* name) {
  // Read access is all flock() needs. O_NOFOLLOW and O_NONBLOCK keep a
  // planted symbolic link or FIFO from redirecting or stalling us.
  const int flags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
  for (int attempt = 0; attempt < 3; attempt++) {
    // Open an existing file without O_CREAT: in a sticky directory the
    // kernel may refuse O_CREAT on a file another user owns.
    int fd = openretry(dir, name, flags, 0);
    if (fd < 0 && errno == ENOENT) {
      fd = openretry(dir, name, flags | O_CREAT | O_EXCL, 0600);
      // Someone else created it in between: look at theirs.
      if (fd < 0 && errno == EEXIST) continue;
    }
    if (fd < 0) return -1;
    // Anyone who can open the file can hold the lock and stall every
    // tunnel of this user, so it must be ours and closed to everyone else.
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
      ::close(fd);
      return -1;
    }
    if ((st.st_mode & 077) != 0 || st.st_nlink != 1) {
      // Ours, but open to others (made so by an earlier version), or with a
      // second name elsewhere that others may reach: someone may hold it
      // open already, so a new file replaces it. Unless another of our
      // takers has just done so: its new file stays.
      ::close(fd);
      struct stat now;
      if (::fstatat(dir, name, &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_dev == st.st_dev &&
          now.st_ino == st.st_ino && ::unlinkat(dir, name, 0) != 0)
        return -1;
      continue;
    }
    return fd;
  }
  return -1;
}

}  // namespace

int lock_take(const char* name, uint32_t waitms, lockh* h) {
  // Build the lock file path; the name must stay one file name.
  size_t len = strlen(name);
  if (len == 0 || len > LOCK_NAMEMAX || strchr(name, '/') != nullptr) return LOCK_NOTCREATED;
  char file[LOCK_NAMEMAX + sizeof LOCK_SUFFIX];
  memcpy(file, name, len);
  memcpy(file + len, LOCK_SUFFIX, sizeof LOCK_SUFFIX);
  char path[STATEPATHMAX];
  int dir = state_dirfd();
  if (!state_path(file, path) || dir < 0) return LOCK_NOTCREATED;

  int fd = openlockfile(dir, file);
  if (fd < 0) return LOCK_NOTCREATED;

  // Poll until the lock is free or the time is up; one last try at the
  // deadline. flock() locks belong to the open file, so two threads of one
  // process exclude each other too (fcntl() locks would not).
  uint64_t deadline = nowms() + waitms;
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      *h = fd;
      return LOCK_OBTAINED;
    }
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) break;
    uint64_t now = nowms();
    if (now >= deadline) {
      ::close(fd);
      return LOCK_TIMEDOUT;
    }
    // Show what was printed before waiting for another holder.
    fflush(stdout);
    uint64_t pause = deadline - now < LOCK_POLLMS ? deadline - now : LOCK_POLLMS;
    timespec ts = {0, long(pause) * 1000000L};
    nanosleep(&ts, nullptr);
  }
  ::close(fd);
  return LOCK_NOTCREATED;
}

void lock_release(lockh h) {
  // Closing the last descriptor of the open file drops the lock as well; the
  // explicit unlock makes it independent of descriptors a child inherited.
  ::flock(int(h), LOCK_UN);
  ::close(int(h));
}
