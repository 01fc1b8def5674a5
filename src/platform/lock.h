// Named locks shared between threads and processes (a named mutex).
//
// On POSIX a lock is a file "/tmp/<name>.lock", locked with flock(). /tmp is
// the directory every user can write on every system, and it is emptied at
// boot like the names of the locks it stands for. The file is created with
// mode 0666 so that processes of other users can share the lock; it is never
// removed, because removing a lock file while someone waits on it would split
// the lock in two. The kernel drops a lock when its holder dies, so a lock
// abandoned that way is simply obtained by the next taker.
#pragma once
#include <cstdint>

using lockh = intptr_t;

// Results of lock_take, one number per outcome.
constexpr int LOCK_OBTAINED = 0;    // the caller holds the lock
constexpr int LOCK_NOTCREATED = 1;  // the lock could not be created or opened
constexpr int LOCK_TIMEDOUT = 2;    // someone else held it for the whole wait

constexpr uint32_t LOCK_NAMEMAX = 200;  // longest lock name in bytes

// lock_take(name, waitms, h): take the lock called name, waiting at most
// waitms milliseconds for another holder to give it up; on LOCK_OBTAINED *h
// holds it until lock_release. A name is 1 to LOCK_NAMEMAX bytes without "/".
int lock_take(const char* name, uint32_t waitms, lockh* h);
// lock_release(h): give up a lock obtained by lock_take.
void lock_release(lockh h);
