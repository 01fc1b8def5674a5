// The process as the relay needs it before it prints its first line.
#pragma once

// proc_init(): make the process safe to log from, before anything else runs:
// standard input, output and error open (to the null device when a service
// manager or a shell started the relay with one of them closed, so that no
// socket can later take their numbers and receive the log); a write to a
// closed pipe or connection an error that the writer sees, never the end of
// the process; standard output line-buffered, so each log line appears as it
// is printed, also into a pipe or a file. (A C runtime without line buffering
// buffers fully instead, and the platform layer writes the log out before
// every wait of the relay: select(), a lookup, a lock, a key.)
void proc_init();
