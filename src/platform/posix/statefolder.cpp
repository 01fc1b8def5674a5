#include "platform/posix/statefolder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/file.h"
#include "platform/statedir.h"

namespace {

constexpr int LINKMAX = 16;   // symbolic links followed on the way, as the kernel allows 40

int folderfd = -1;     // the checked state folder; -1: refused or not yet opened
bool opened = false;   // folderfd holds the answer for the folder in use

// mayset(uid): one who may change this user's state anyway: itself or root.
bool mayset(uid_t uid) { return uid == ::geteuid() || uid == 0; }

// trusted(st): a folder nobody else can fill, empty or rename entries in:
// owned by this user or root and writable by nobody else, or sticky (as
// /var/tmp is), where others may add entries but not remove or rename ours.
bool trusted(const struct stat& st) {
  if (!S_ISDIR(st.st_mode) || !mayset(st.st_uid)) return false;
  return (st.st_mode & (S_IWGRP | S_IWOTH)) == 0 || (st.st_mode & S_ISVTX) != 0;
}

// openchecked(at, name): the folder name in the folder at, opened as itself
// (never through a link) and trusted; -1 otherwise, errno telling a link
// (ELOOP or ENOTDIR) from the rest.
int openchecked(int at, const char* name) {
  int fd;
  do fd = ::openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) return -1;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !trusted(st)) {
    ::close(fd);
    errno = EACCES;
    return -1;
  }
  return fd;
}

// walk(path): open the folder at path one folder at a time from the root,
// each trusted, so that nobody else can choose where the state goes: a
// folder of another user anywhere on the way could rename what follows it
// or put a link in its place. A symbolic link is followed only when it was
// made by this user or root (in a trusted folder nobody else can make one,
// except in a sticky one), and its target is walked the same way.
int walk(const char* path) {
  char rest[2 * PATH_MAX];   // what is still to walk
  if (path[0] == '/') {
    if (strlen(path) >= sizeof rest) return -1;
    strcpy(rest, path);
  } else {
    // A relative path starts from the current folder, whose way is checked too.
    if (::getcwd(rest, PATH_MAX) == nullptr || strlen(rest) + 1 + strlen(path) >= sizeof rest) return -1;
    strcat(rest, "/");
    strcat(rest, path);
  }
  int fd = openchecked(AT_FDCWD, "/");
  int links = 0;
  const char* p = rest;
  while (fd >= 0) {
    while (*p == '/') p++;
    if (*p == '\0') return fd;
    size_t len = strcspn(p, "/");
    char name[NAME_MAX + 1];
    if (len > NAME_MAX) break;
    memcpy(name, p, len);
    name[len] = '\0';
    p += len;
    if (strcmp(name, ".") == 0) continue;
    int next = openchecked(fd, name);
    if (next >= 0) {
      ::close(fd);
      fd = next;
      continue;
    }
    // Only a link of someone trusted goes on, to its target.
    struct stat st;
    char target[PATH_MAX];
    if ((errno != ELOOP && errno != ENOTDIR) || ++links > LINKMAX ||
        ::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(st.st_mode) || !mayset(st.st_uid))
      break;
    ssize_t n = ::readlinkat(fd, name, target, sizeof target);
    if (n <= 0 || size_t(n) >= sizeof target || size_t(n) + 1 + strlen(p) >= sizeof rest) break;
    target[n] = '\0';
    char joined[sizeof rest];
    strcpy(joined, target);
    strcat(joined, "/");
    strcat(joined, p);
    strcpy(rest, joined);
    p = rest;
    if (target[0] == '/') {
      ::close(fd);
      fd = openchecked(AT_FDCWD, "/");
    }
  }
  if (fd >= 0) ::close(fd);
  return -1;
}

// statename(path): the name of the state file at path when path is one that
// state_path gives, a file right in the state folder; else null.
const char* statename(const char* path) {
  const char* slash = strrchr(path, '/');
  const char* name = slash != nullptr ? slash + 1 : path;
  char expect[STATEPATHMAX];
  if (*name == '\0' || strcmp(name, ".") == 0 || strcmp(name, "..") == 0 || !state_path(name, expect) ||
      strcmp(expect, path) != 0)
    return nullptr;
  return name;
}

}  // namespace

int state_dirfd() {
  if (opened) return folderfd;
  opened = true;
  int len;
  const char* dir = state_dirtext(&len);
  char path[STATEPATHMAX];
  if (len <= 0 || size_t(len) >= sizeof path) return folderfd = -1;
  memcpy(path, dir, size_t(len));
  path[len] = '\0';
  return folderfd = walk(path);
}

void state_forget() {
  if (folderfd >= 0) ::close(folderfd);
  folderfd = -1;
  opened = false;
}

bool state_folderok() { return state_dirfd() >= 0; }

fileh state_openrw(const char* path) {
  // Reached through the checked folder's handle, never by its path again:
  // nothing that happens on the way after the check can redirect it.
  const char* name = statename(path);
  int dir = state_dirfd();
  if (name == nullptr || dir < 0) return FILE_INVALID;
  int fd;
  do fd = ::openat(dir, name, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  while (fd < 0 && errno == EINTR);
  return fd < 0 ? FILE_INVALID : fd;
}
