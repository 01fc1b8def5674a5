#include "platform/console.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

#include "platform/keydecode.h"

namespace {

// The signals that end or stop the process from the keyboard or from outside;
// while a terminal is in key mode each of them puts the terminal back first.
constexpr int guarded[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGTSTP};
constexpr int NGUARDED = int(sizeof guarded / sizeof guarded[0]);

int usein = -1;          // con_use() descriptors; -1: standard input / output
int useout = -1;
bool ended = false;      // the input has ended; it never comes back
keydecoder keys = {false, -1};
int depth = 0;           // nesting of con_begin()

// Only set while a terminal is in key mode; the signal handler reads them.
int ttyfd = -1;
termios saved;           // the terminal as we found it
termios keymode;         // the terminal while a prompt reads keys
struct sigaction oldact[NGUARDED];
bool installed[NGUARDED];

int infd() { return usein >= 0 ? usein : STDIN_FILENO; }
int outfd() { return useout >= 0 ? useout : STDOUT_FILENO; }

int guardindex(int sig) {
  for (int i = 0; i < NGUARDED; i++)
    if (guarded[i] == sig) return i;
  return -1;
}

void installguard(int i);

// Put the terminal back, then let the signal do what it would have done
// without us. If the process lives on (stopped and continued, or an earlier
// handler chose to go on), the prompt is still running: key mode again.
void onsignal(int sig) {
  int saverrno = errno;
  int i = guardindex(sig);
  tcsetattr(ttyfd, TCSANOW, &saved);
  sigaction(sig, &oldact[i], nullptr);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  raise(sig);
  installguard(i);
  tcsetattr(ttyfd, TCSANOW, &keymode);
  errno = saverrno;
}

void installguard(int i) {
  struct sigaction sa {};
  sa.sa_handler = onsignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(guarded[i], &sa, nullptr);
}

// readbyte(wait_ms): the next byte of the input, CON_EOF once it has ended, or
// KEY_TIMEOUT when wait_ms (>= 0) passed without one.
int readbyte(int wait_ms) {
  if (ended) return CON_EOF;
  int fd = infd();
  pollfd p{fd, POLLIN, 0};
  if (wait_ms >= 0) {
    int r;
    do r = poll(&p, 1, wait_ms);
    while (r < 0 && errno == EINTR);
    if (r == 0) return KEY_TIMEOUT;
  }
  for (;;) {
    unsigned char b;
    ssize_t n = read(fd, &b, 1);
    if (n == 1) return b;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // Someone made the descriptor non-blocking: wait for it instead of spinning.
      poll(&p, 1, -1);
      continue;
    }
    // End of file, a hung-up terminal (EIO), a closed descriptor: no more keys.
    ended = true;
    return CON_EOF;
  }
}

}  // namespace

void con_use(fileh in, fileh out) {
  usein = in == FILE_INVALID ? -1 : int(in);
  useout = out == FILE_INVALID ? -1 : int(out);
  ended = false;
  keydecoder_reset(&keys);
}

void con_begin() {
  if (depth++ > 0) return;
  int fd = infd();
  // A pipe or a file is read byte by byte as it is; only a terminal has modes.
  if (!isatty(fd) || tcgetattr(fd, &saved) != 0) return;
  keymode = saved;
  keymode.c_lflag &= ~tcflag_t(ICANON | ECHO | ECHOE | ECHOK | ECHONL | IEXTEN);
  keymode.c_cc[VMIN] = 1;
  keymode.c_cc[VTIME] = 0;
  ttyfd = fd;
  for (int i = 0; i < NGUARDED; i++) {
    sigaction(guarded[i], nullptr, &oldact[i]);
    // A signal the process ignores (nohup) stays ignored.
    installed[i] = oldact[i].sa_handler != SIG_IGN;
    if (installed[i]) installguard(i);
  }
  tcsetattr(fd, TCSANOW, &keymode);
}

void con_end() {
  if (depth == 0 || --depth > 0) return;
  if (ttyfd < 0) return;
  tcsetattr(ttyfd, TCSANOW, &saved);
  for (int i = 0; i < NGUARDED; i++)
    if (installed[i]) sigaction(guarded[i], &oldact[i], nullptr);
  ttyfd = -1;
}

int con_getkey() {
  // Whatever the log printed is on the screen before the relay waits for a key.
  fflush(stdout);
  return keydecoder_next(&keys, readbyte);
}

void con_write(const char* text, size_t len) {
  // Whatever the log has printed comes first on the screen.
  fflush(stdout);
  int fd = outfd();
  while (len > 0) {
    ssize_t n = write(fd, text, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text += n;
    len -= size_t(n);
  }
}
