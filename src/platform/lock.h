// Named locks shared between threads and processes (a named mutex).
//
// A lock is held by one taker at a time across every thread and process of
// the user that runs the relay; when its holder dies, the next taker obtains
// it. No other user can take it, so no other user can make its takers wait
// (a lock another user has planted under its name is refused at once). The
// locks of the state files live beside them, in the state folder (statedir.h);
// on POSIX systems a refused state folder holds no lock either.
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
