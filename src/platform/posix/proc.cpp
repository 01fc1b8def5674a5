#include "platform/proc.h"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace {

// Room for the log lines of one pass of the loop; the platform layer writes
// them out before every wait, so the size only limits how often a long
// burst of lines, such as a trace, is written meanwhile.
constexpr size_t LOGBUFSIZE = 16384;

}  // namespace

void proc_init() {
  // Ignore broken pipes first: everything after this may print.
  signal(SIGPIPE, SIG_IGN);

  // A descriptor of 0 to 2 that is closed would be handed to the next file or
  // socket opened; fill each gap with the null device instead.
  for (int fd = 0; fd <= 2; fd++) {
    if (fcntl(fd, F_GETFD) != -1) continue;
    int nul = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (nul < 0) _exit(127);   // nothing safe to write to, nowhere to say it
    if (nul != fd) {
      dup2(nul, fd);
      close(nul);
    }
  }

  // The log is fully buffered: a pass of the loop that prints five lines
  // writes them with one system call, not five. The platform layer writes
  // it out whenever the relay is about to wait (before poll(), a host name
  // lookup, the seed file's lock and every key read at the console), so no
  // line is held back while the relay waits, and the exit writes the rest.
  // A fatal signal finds the buffer empty unless it strikes mid-pass: the
  // C library cannot be called from a signal handler to write it out.
  setvbuf(stdout, nullptr, _IOFBF, LOGBUFSIZE);
}
