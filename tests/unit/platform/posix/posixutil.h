// Helpers of the POSIX platform tests: a state folder open to every user,
// another local user to act as, and a count of this process's open files.
#pragma once
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/statedir.h"
#include "unit/unitutil.h"

namespace ut {

// A state folder open to every user (like /var/tmp), in use while it lives.
struct shareddir {
  std::string path = testdir() + "/shared";
  shareddir() {
    std::filesystem::create_directory(path);
    chmod(path.c_str(), 01777);
    state_usedir(path.c_str());
  }
  ~shareddir() { state_usedir(testdir().c_str()); }
  std::string file(const std::string& name, const std::string& text) const {
    return harness::file("shared/" + name, text);
  }
};

// nobody(): the user 'nobody' when the tests run as root (who may act as
// another user), else none; openfds(): how many files this process has open.
inline const passwd* nobody() { return geteuid() == 0 ? getpwnam("nobody") : nullptr; }
inline auto openfds() {
  return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
}

}   // namespace ut
