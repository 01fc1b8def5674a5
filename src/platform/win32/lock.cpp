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

constexpr int HELDMAX = 16;         // locks this process holds or waits for at once
constexpr DWORD LOCAL_POLLMS = 10;  // pause while another thread of ours holds the name

// The names this process holds or waits for, one taker each. A Windows mutex
// counts the takes of the thread that owns it, so a second take in that
// thread would pass at once; a name is therefore taken here first, which
// keeps every taker of this process (the same thread too) waiting its turn,
// and only then is the machine-wide mutex waited for.
SRWLOCK heldguard = SRWLOCK_INIT;
struct heldlock {
  char name[LOCK_NAMEMAX + 1];   // empty: a free slot
  HANDLE mutex;
} held[HELDMAX];

// reserve(name): the slot taken for name, -1 while another taker of this
// process has it, -2 when every slot is in use.
int reserve(const char* name) {
  AcquireSRWLockExclusive(&heldguard);
  int slot = -2;
  for (int i = 0; i < HELDMAX; i++) {
    if (strcmp(held[i].name, name) == 0) {
      slot = -1;
      break;
    }
    if (slot == -2 && held[i].name[0] == '\0') slot = i;
  }
  if (slot >= 0) strcpy(held[slot].name, name);
  ReleaseSRWLockExclusive(&heldguard);
  return slot;
}

void unreserve(int slot) {
  AcquireSRWLockExclusive(&heldguard);
  held[slot].name[0] = '\0';
  held[slot].mutex = nullptr;
  ReleaseSRWLockExclusive(&heldguard);
}

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

// takemutex(full, waitms, m): create or open the mutex called full and wait
// for it; LOCK_OBTAINED with its handle in *m, or the failure.
int takemutex(const char* full, DWORD waitms, HANDLE* m) {
  // Created not owned, or opened when another taker made it first. It exists
  // while anyone holds a handle, so nothing is left behind on the machine.
  // Only this account (and the system and the administrators) may open one
  // we create: another user's takers are refused at once, and so are ours
  // when another user made the mutex first.
  SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, FALSE};
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (account_privatesd(&sd)) sa.lpSecurityDescriptor = sd;
  HANDLE h = CreateMutexA(&sa, FALSE, full);
  bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
  if (sd != nullptr) LocalFree(sd);
  if (h == nullptr) return LOCK_NOTCREATED;
  if (existed && plantedbyother(h)) {
    CloseHandle(h);
    return LOCK_NOTCREATED;
  }
  switch (WaitForSingleObject(h, waitms)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:   // its holder ended without giving it up: ours now
      *m = h;
      return LOCK_OBTAINED;
    case WAIT_TIMEOUT:
      CloseHandle(h);
      return LOCK_TIMEDOUT;
    default:
      CloseHandle(h);
      return LOCK_NOTCREATED;
  }
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
  DWORD start = GetTickCount();
  int slot;
  while ((slot = reserve(name)) == -1) {
    DWORD spent = GetTickCount() - start;
    if (spent >= waitms) return LOCK_TIMEDOUT;
    Sleep(waitms - spent < LOCAL_POLLMS ? waitms - spent : LOCAL_POLLMS);
  }
  if (slot < 0) return LOCK_NOTCREATED;
  DWORD spent = GetTickCount() - start;
  HANDLE m = nullptr;
  int rc = takemutex(full, spent < waitms ? waitms - spent : 0, &m);
  if (rc != LOCK_OBTAINED) {
    unreserve(slot);
    return rc;
  }
  held[slot].mutex = m;
  *h = slot;
  return LOCK_OBTAINED;
}

void lock_release(lockh h) {
  if (h < 0 || h >= HELDMAX) return;
  HANDLE m = held[h].mutex;
  ReleaseMutex(m);
  CloseHandle(m);
  unreserve(int(h));
}
