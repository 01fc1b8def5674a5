// The state folder on POSIX systems: the one open handle through which every
// state file is reached, and the folder's path as statedir.cpp chooses it.
#pragma once

// state_dirtext(len): the chosen folder's path, *len bytes of it (it may go on
// after them, as a list in STATE_DIRECTORY does).
const char* state_dirtext(int* len);

// state_dirfd(): the state folder, opened and checked at the first call and
// kept open (checked anew after state_usedir); -1 when it is missing or
// refused. See state_folderok for what is refused.
int state_dirfd();

// state_forget(): close the folder; the next state_dirfd opens it again.
void state_forget();
