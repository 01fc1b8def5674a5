#include "platform/file.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <aclapi.h>

#include <cstdio>
#include <cstring>

#include "platform/win32/account.h"

namespace {

HANDLE winh(fileh h) { return reinterpret_cast<HANDLE>(h); }

fileh fromwin(HANDLE h) { return h == INVALID_HANDLE_VALUE ? FILE_INVALID : reinterpret_cast<fileh>(h); }

// The relay has one thread; the reason is asked for right after the failure.
int lasterr = 0;

}  // namespace

fileh file_openread(const char* path) {
  // Others may read the file meanwhile, not write it. A device or a named
  // pipe opens without waiting; file_size then refuses it.
  HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    // A folder does not open as a file at all ("Access is denied"): say
    // what it is instead.
    lasterr = int(GetLastError());
    DWORD attr = GetFileAttributesA(path);
    if (attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY) != 0) lasterr = FILEERR_NOTREGULAR;
  }
  return fromwin(h);
}

bool file_private(fileh h) {
  // Ours, and nobody but ourselves, the system and the administrators may
  // write it or change who may (the Windows form of owner and mode 0600).
  // Reading by others is not asked about: a file of the shared folder that
  // took the folder's list is readable by every user, writable by none.
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (GetSecurityInfo(winh(h), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                      nullptr, &dacl, nullptr, &sd) != ERROR_SUCCESS)
    return false;
  // A second name (a hard link) could stand in a folder of another's choosing.
  BY_HANDLE_FILE_INFORMATION info;
  bool ok = account_isme(owner) && account_writers_trusted(dacl) && GetFileInformationByHandle(winh(h), &info) &&
            info.nNumberOfLinks == 1;
  LocalFree(sd);
  return ok;
}

int file_size(fileh h, uint64_t* size) {
  // Only a file on a disk has a size to read up to; a console, a device or
  // a pipe has none.
  if (GetFileType(winh(h)) != FILE_TYPE_DISK) {
    lasterr = FILEERR_NOTREGULAR;
    return -1;
  }
  LARGE_INTEGER n;
  if (!GetFileSizeEx(winh(h), &n)) {
    lasterr = int(GetLastError());
    return -1;
  }
  *size = uint64_t(n.QuadPart);
  return 0;
}

int file_seek(fileh h, uint64_t offset) {
  LONG high = LONG(offset >> 32);
  SetLastError(NO_ERROR);
  DWORD low = SetFilePointer(winh(h), LONG(offset & 0xFFFFFFFFu), &high, FILE_BEGIN);
  return low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR ? -1 : 0;
}

int64_t file_read(fileh h, void* buf, uint32_t len) {
  DWORD n = 0;
  if (ReadFile(winh(h), buf, len, &n, nullptr)) return n;
  // The writer of a pipe went away: the end, as at the end of a file.
  DWORD err = GetLastError();
  return err == ERROR_BROKEN_PIPE || err == ERROR_HANDLE_EOF ? 0 : -1;
}

int64_t file_write(fileh h, const void* buf, uint32_t len) {
  DWORD n = 0;
  if (!WriteFile(winh(h), buf, len, &n, nullptr)) return -1;
  return n;
}

int file_close(fileh h) { return CloseHandle(winh(h)) ? 0 : -1; }

int file_lasterror() { return lasterr; }

void file_errtext(int code, char* buf, uint32_t len) {
  if (len == 0) return;
  if (code == FILEERR_NOTREGULAR) {
    snprintf(buf, len, "not a regular file");
    return;
  }
  // The system's sentence, without its line end and full stop.
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, DWORD(code), 0, buf,
                           len, nullptr);
  if (n == 0) snprintf(buf, len, "system error %d", code);
  size_t end = strlen(buf);
  while (end > 0 && (buf[end - 1] == '\r' || buf[end - 1] == '\n' || buf[end - 1] == ' ' || buf[end - 1] == '.'))
    buf[--end] = 0;
}
