#include "platform/statedir.h"

#include "platform/posix/statefolder.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// /var/tmp is on every system, survives a reboot and is writable by every user.
constexpr char SYSTEMDIR[] = "/var/tmp";

char usedir[STATEPATHMAX];   // state_usedir(); empty: SYSTEMDIR

}  // namespace

const char* state_dirtext(int* len) {
  // Unless a test or the operator (KEVRA_STATEDIR) names a folder, a service
  // manager that keeps a state folder for the relay names it in
  // STATE_DIRECTORY (systemd's StateDirectory=; the first of a list counts):
  // private to the service and kept across restarts, unlike a shared /var/tmp.
  const char* own = getenv("KEVRA_STATEDIR");
  const char* env = getenv("STATE_DIRECTORY");
  if (usedir[0] != '\0') {
    *len = int(strlen(usedir));
    return usedir;
  }
  if (own != nullptr && own[0] != '\0') {
    *len = int(strlen(own));
    return own;
  }
  if (env != nullptr && env[0] == '/') {
    *len = int(strcspn(env, ":"));
    return env;
  }
  *len = int(sizeof SYSTEMDIR - 1);
  return SYSTEMDIR;
}

bool state_path(const char* name, char out[STATEPATHMAX]) {
  int dirlen;
  const char* dir = state_dirtext(&dirlen);
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
  state_forget();
}
