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
  const char* dir = usedir;
  if (dir[0] == '\0') dir = getenv("KEVRA_STATEDIR");
  if (dir == nullptr || dir[0] == '\0') dir = SYSTEMDIR;
  int n = snprintf(out, STATEPATHMAX, "%s/%s", dir, name);
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
