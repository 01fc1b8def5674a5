#include "platform/statedir.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <aclapi.h>

#include <cstdio>
#include <cstring>

#include "platform/win32/account.h"

namespace {

// The folder for data of every user of the machine ("C:\ProgramData" on a
// standard installation) exists on every Windows since Vista and survives a
// reboot; the state lives in a folder of its own inside it. Every user may
// create folders there and owns what they create, so the folder is made with
// an access list of its own, and an existing one is checked before use.
constexpr char SUBDIR[] = "kevra";
constexpr char FALLBACK[] = "C:\\ProgramData";

char usedir[STATEPATHMAX];   // state_usedir(); empty: KEVRA_STATEDIR or the system's

// The checked folder, held open for the run without leave to delete: while
// the relay runs nobody can rename it or put another in its place.
HANDLE folder = INVALID_HANDLE_VALUE;
bool checked = false;   // folder holds the answer for the folder in use

// The system's folder, created on first use.
const char* systemdir() {
  static char dir[STATEPATHMAX];
  if (dir[0] != '\0') return dir;
  char base[STATEPATHMAX];
  DWORD n = GetEnvironmentVariableA("ProgramData", base, sizeof base);
  if (n == 0 || n >= sizeof base) strcpy(base, FALLBACK);
  int len = snprintf(dir, sizeof dir, "%s\\%s", base, SUBDIR);
  if (len < 0 || uint32_t(len) >= sizeof dir) dir[0] = '\0';
  return dir;
}

// makeprivate(dir): create the folder dir unless it is there, such that only
// this account, the system and the Administrators may use what it holds,
// whatever its container would hand down. A folder that is already there
// keeps its list; openchecked decides whether it may be used.
void makeprivate(const char* dir) {
  SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, FALSE};
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!account_foldersd(&sd)) return;
  sa.lpSecurityDescriptor = sd;
  CreateDirectoryA(dir, &sa);
  LocalFree(sd);
}

// samepath(a, b): the same text, either slash counting as a separator.
bool samepath(const char* a, const char* b) {
  for (; *a != '\0' && *b != '\0'; a++, b++) {
    bool sepa = *a == '\\' || *a == '/', sepb = *b == '\\' || *b == '/';
    if (sepa != sepb || (!sepa && *a != *b)) return false;
  }
  return *a == *b;
}

// statedir(env): the folder in use: state_usedir's, KEVRA_STATEDIR's (in env)
// or the system's.
const char* statedir(char env[STATEPATHMAX]) {
  if (usedir[0] != '\0') return usedir;
  DWORD n = GetEnvironmentVariableA("KEVRA_STATEDIR", env, STATEPATHMAX);
  return n > 0 && n < STATEPATHMAX ? env : systemdir();
}

// openchecked(dir): the folder dir held open, when it is a folder itself
// (not a junction or a link to one elsewhere), belongs to a trusted account
// and lets nobody else add, remove or change what it holds; else invalid.
HANDLE openchecked(const char* dir) {
  HANDLE h = CreateFileA(dir, READ_CONTROL | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return h;
  BY_HANDLE_FILE_INFORMATION info;
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  // The name is asked too: Wine opens a link as its target even so, while
  // its name shows what it is. The open handle keeps it from being replaced.
  DWORD attr = GetFileAttributesA(dir);
  bool ok = GetFileInformationByHandle(h, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
            !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && attr != INVALID_FILE_ATTRIBUTES &&
            !(attr & FILE_ATTRIBUTE_REPARSE_POINT) &&
            GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                            nullptr, &dacl, nullptr, &sd) == ERROR_SUCCESS &&
            owner != nullptr && account_trusted(owner) && account_writers_trusted(dacl);
  if (sd != nullptr) LocalFree(sd);
  if (!ok) {
    CloseHandle(h);
    return INVALID_HANDLE_VALUE;
  }
  return h;
}

}  // namespace

bool state_path(const char* name, char out[STATEPATHMAX]) {
  char env[STATEPATHMAX];
  const char* dir = statedir(env);
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
  if (folder != INVALID_HANDLE_VALUE) CloseHandle(folder);
  folder = INVALID_HANDLE_VALUE;
  checked = false;
}

bool state_folderok() {
  if (!checked) {
    char env[STATEPATHMAX];
    const char* dir = statedir(env);
    checked = true;
    if (dir == systemdir() && dir[0] != '\0') makeprivate(dir);
    folder = dir[0] == '\0' ? INVALID_HANDLE_VALUE : openchecked(dir);
  }
  return folder != INVALID_HANDLE_VALUE;
}

fileh state_openrw(const char* path) {
  // Only a file right in the checked folder, as state_path names it (with
  // either slash).
  const char* name = path;
  for (const char* p = path; *p != '\0'; p++)
    if (*p == '\\' || *p == '/' || *p == ':') name = p + 1;
  char expect[STATEPATHMAX];
  if (*name == '\0' || !state_path(name, expect) || !samepath(expect, path) || !state_folderok())
    return FILE_INVALID;
  // Others may read the file while it is open, but not write it. A symbolic
  // link or junction is opened as itself instead of being followed, and then
  // refused, so a link planted in a shared folder cannot redirect the write.
  // A new file is private to its creator; an existing one keeps its list.
  SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, FALSE};
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (account_privatesd(&sd)) sa.lpSecurityDescriptor = sd;
  HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, &sa, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (sd != nullptr) LocalFree(sd);
  if (h == INVALID_HANDLE_VALUE) return FILE_INVALID;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(h, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
    CloseHandle(h);
    return FILE_INVALID;
  }
  return reinterpret_cast<fileh>(h);
}
