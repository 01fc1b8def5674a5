// The account the relay runs as, for the Windows files of this folder that
// keep state private to it: the seed files and their locks.
#pragma once

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

// account_isme(sid): true when sid is the account this process runs as, or
// the owner it gives the objects it creates (for an elevated administrator,
// the Administrators group).
bool account_isme(PSID sid);

// account_trusted(sid): true when sid is this account, the system or the
// Administrators: those who may change this account's state anyway.
bool account_trusted(PSID sid);

// account_privatesd(sd): a security descriptor whose access list admits only
// this account, the system and the Administrators, and takes nothing from
// its container (what mode 0600 is on POSIX). Free it with LocalFree. False
// when it cannot be built.
bool account_privatesd(PSECURITY_DESCRIPTOR* sd);

// account_foldersd(sd): the same for a folder, its entries handed down to
// everything created inside it. Free it with LocalFree; false when it cannot
// be built.
bool account_foldersd(PSECURITY_DESCRIPTOR* sd);

// account_writers_trusted(dacl): true when the access list lets nobody but
// trusted accounts write, append, delete (a folder: add or delete entries),
// or change the list or the owner. A missing list (which lets everyone do
// everything) is not.
bool account_writers_trusted(PACL dacl);
