#include "platform/statedir.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// /var/tmp is on every system, survives a reboot and is writable by every user.
constexpr char SYSTEMDIR[] = "/var/tmp";

char usedir[STATEPATHMAX];   // state_usedir(); empty: SYSTEMDIR

}  // namespace

bool state_path(const char* name, char out[STATEPATHMAX]) {
  // Unless a test or the operator (KEVRA_STATEDIR) names a folder, a service
  // manager that keeps a state folder for the relay names it in
  // STATE_DIRECTORY (systemd's StateDirectory=; the first of a list counts):
  // private to the service and kept across restarts, unlike a shared /var/tmp.
  const char* dir = SYSTEMDIR;
  int dirlen = int(sizeof SYSTEMDIR - 1);
  const char* own = getenv("KEVRA_STATEDIR");
  const char* env = getenv("STATE_DIRECTORY");
  if (usedir[0] != '\0') {
    dir = usedir;
    dirlen = int(strlen(usedir));
  } else if (own != nullptr && own[0] != '\0') {
    dir = own;
    dirlen = int(strlen(own));
  } else if (env != nullptr && env[0] == '/') {
    dir = env;
    dirlen = int(strcspn(env, ":"));
  }
  int n = snprintf(out, STATEPATHMAX, "%.*s/%s", dirlen, dir, name);
  if (n < 0 || uint32_t(n) >= STATEPATHMAX) {
    out[0] = '\0';
    return false;
  }
  return true;
}

void state_usedir(const char* dir) {
  usedir[0] = '\0';
  if (dir != nullptr && strlen(dir) < sizeof usedir) strcpy(usedir, dir);
}
