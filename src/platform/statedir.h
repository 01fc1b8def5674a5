// The folder of the state that outlives one run: the seed files of the nonce
// generator and the locks that guard them.
#pragma once
#include <cstdint>

#include "platform/file.h"

constexpr uint32_t STATEPATHMAX = 260;   // bytes of a state file's path, terminator included

// state_path(name, out): the path of the state file called name (no
// separators) in the state folder; false, with out empty, when it does not fit.
// The state folder is the one of state_usedir, else the one the environment
// variable KEVRA_STATEDIR names (an operator's choice, a test's temporary
// folder), else the one a service manager gives the relay (STATE_DIRECTORY
// on POSIX systems), else the system's.
bool state_path(const char* name, char out[STATEPATHMAX]);

// state_usedir(dir): keep state in the folder dir from now on (dir is copied);
// nullptr goes back to the environment's or the system's folder. Meant for unit
// tests, so that they never touch the state of a relay running on the machine.
void state_usedir(const char* dir);

// state_folderok(): true when the state folder may hold state: it exists, and
// nobody but this user and those who may change its state anyway (root; on
// Windows the system and the Administrators) can choose or change what is in
// it or where it leads. On POSIX systems every folder on its way counts too; a
// sticky folder such as /var/tmp, where others may add entries but not
// remove or rename ours, is one. Checked at the first call, and again after
// state_usedir; the answer holds for the run.
bool state_folderok();

// state_openrw(path): open the state file at path, as state_path gave it, for
// reading and writing, creating it private to this user when missing; others
// may read it while it is open, not write it. Never through a link, and
// (POSIX) relative to the folder that state_folderok checked. FILE_INVALID
// when the folder is refused, path is not a file right in it, or it cannot be
// opened.
fileh state_openrw(const char* path);
