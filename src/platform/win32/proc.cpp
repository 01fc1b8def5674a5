#include "platform/proc.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>

namespace {

// Room for the log lines of one pass of the loop; the platform layer writes
// them out before every wait (see below), so the size only limits how often
// a long burst of lines, such as a trace, is written meanwhile.
constexpr size_t LOGBUFSIZE = 16384;

}  // namespace

void proc_init() {
  // A relay running as a service has no one to answer a message box: a
  // drive without a medium or a missing file fails the call instead.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);

  // The log's bytes are the same as on every other system: lines end in LF
  // alone (the console shows them as lines), never CR LF, also into a pipe
  // or a file.
  int out = _fileno(stdout);
  if (out >= 0) _setmode(out, _O_BINARY);

  // This C runtime has no line buffering (it takes _IOLBF for full
  // buffering), and unbuffered it writes every character on its own. So the
  // log is fully buffered, and the platform layer writes it out whenever the
  // relay is about to wait: before select(), a host name lookup, the seed
  // file's lock and every key read at the console. No line is held back
  // while the relay waits, and the exit writes out the rest.
  setvbuf(stdout, nullptr, _IOFBF, LOGBUFSIZE);

  // Standard input, output and error closed or missing (a service, a
  // program started without a console) need nothing: on this system a
  // socket never takes their place, and writes to them fail harmlessly.
}
