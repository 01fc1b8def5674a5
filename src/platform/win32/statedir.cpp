#include "platform/statedir.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

// The folder for data of every user of the machine ("C:\ProgramData" on a
// standard installation) exists on every Windows since Vista and survives a
// reboot; the state lives in a folder of its own inside it. Every user may
// create files there; a file belongs to its creator, others may only read it.
constexpr char SUBDIR[] = "kevra";
constexpr char FALLBACK[] = "C:\\ProgramData";

char usedir[STATEPATHMAX];   // state_usedir(); empty: KEVRA_STATEDIR or the system's

// The system's folder, created on first use.
const char* systemdir() {
  static char dir[STATEPATHMAX];
  if (dir[0] != '\0') return dir;
  char base[STATEPATHMAX];
  DWORD n = GetEnvironmentVariableA("ProgramData", base, sizeof base);
  if (n == 0 || n >= sizeof base) strcpy(base, FALLBACK);
  int len = snprintf(dir, sizeof dir, "%s\\%s", base, SUBDIR);
  if (len < 0 || uint32_t(len) >= sizeof dir) {
    dir[0] = '\0';
    return dir;
  }
  // Already there is fine; any other failure shows when a file is opened.
  CreateDirectoryA(dir, nullptr);
  return dir;
}

}  // namespace

bool state_path(const char* name, char out[STATEPATHMAX]) {
  const char* dir = usedir;
  char env[STATEPATHMAX];
  if (dir[0] == '\0') {
    DWORD n = GetEnvironmentVariableA("KEVRA_STATEDIR", env, sizeof env);
    dir = n > 0 && n < sizeof env ? env : systemdir();
  }
  int n = dir[0] == '\0' ? -1 : snprintf(out, STATEPATHMAX, "%s\\%s", dir, name);
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
