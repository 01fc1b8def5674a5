// The folder of the state that outlives one run: the seed files of the nonce
// generator and the locks that guard them. It is the system's own folder
// unless the environment variable KEVRA_STATEDIR names another (a service
// manager's state directory, or a test's temporary folder).
#pragma once
#include <cstdint>

constexpr uint32_t STATEPATHMAX = 260;   // bytes of a state file's path, terminator included

// state_path(name, out): the path of the state file called name (no
// separators) in the state folder; false, with out empty, when it does not fit.
bool state_path(const char* name, char out[STATEPATHMAX]);

// state_usedir(dir): keep state in the folder dir from now on (dir is copied);
// nullptr goes back to KEVRA_STATEDIR or the system's folder. Meant for unit
// tests, so that they never touch the state of a relay running on the machine.
void state_usedir(const char* dir);
