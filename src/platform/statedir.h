// The folder of the state that outlives one run: the seed files of the nonce
// generator and the locks that guard them.
#pragma once
#include <cstdint>

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
