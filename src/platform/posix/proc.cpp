#include "platform/proc.h"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

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

  setvbuf(stdout, nullptr, _IOLBF, 0);
}
