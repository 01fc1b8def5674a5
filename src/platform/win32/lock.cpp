#include "platform/lock.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <aclapi.h>

#include <cstdio>
#include <cstring>

#include "platform/win32/account.h"

namespace {

// One name for the whole machine: relays of every session, services
// included, may share a state folder, so they share its locks too.
constexpr char NAMESPACE[] = "Global\\";

// plantedbyother(m): true when the existing mutex m belongs to another
// account, which could hold it to make our takers wait. (Wine gives its
// objects no owner; an object without one is taken as ours.)
bool plantedbyother(HANDLE m) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (GetSecurityInfo(m, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr, &sd) !=
      ERROR_SUCCESS)
    return true;
  bool other = owner != nullptr && !account_isme(owner);
  LocalFree(sd);
  return other;
}

}  // namespace

int lock_take(const char* name, uint32_t waitms, lockh* h) {
  size_t len = strlen(name);
  if (len == 0 || len > LOCK_NAMEMAX || strchr(name, '/') != nullptr || strchr(name, '\\') != nullptr)
    return LOCK_NOTCREATED;
  char full[sizeof NAMESPACE + LOCK_NAMEMAX];
  memcpy(full, NAMESPACE, sizeof NAMESPACE - 1);
  memcpy(full + sizeof NAMESPACE - 1, name, len + 1);

  // Show what was printed before a wait of up to waitms.
  fflush(stdout);
  // Created not owned, or opened when another taker made it first. It exists
  // while anyone holds a handle, so nothing is left behind on the machine.
  // Only this account (and the system and the administrators) may open one
  // we create: another user's takers are refused at once, and so are ours
  // when another user made the mutex first.
  SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, FALSE};
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (account_privatesd(&sd)) sa.lpSecurityDescriptor = sd;
  HANDLE m = CreateMutexA(&sa, FALSE, full);
  bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
  if (sd != nullptr) LocalFree(sd);
  if (m == nullptr) return LOCK_NOTCREATED;
  if (existed && plantedbyother(m)) {
    CloseHandle(m);
    return LOCK_NOTCREATED;
  }
  switch (WaitForSingleObject(m, waitms)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:   // its holder ended without giving it up: ours now
      // A thread that holds the lock already obtains it again at once (a
      // Windows mutex counts its owner's takes); the relay never nests them.
      *h = reinterpret_cast<lockh>(m);
      return LOCK_OBTAINED;
    case WAIT_TIMEOUT:
      CloseHandle(m);
      return LOCK_TIMEDOUT;
    default:
      CloseHandle(m);
      return LOCK_NOTCREATED;
  }
}

void lock_release(lockh h) {
  HANDLE m = reinterpret_cast<HANDLE>(h);
  ReleaseMutex(m);
  CloseHandle(m);
}
