#include "platform/lock.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

// One lock for the whole machine: relays of every session, services
// included, share the state folder, so they share its locks too.
constexpr char NAMESPACE[] = "Global\\";

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
  HANDLE m = CreateMutexA(nullptr, FALSE, full);
  if (m == nullptr) return LOCK_NOTCREATED;
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
