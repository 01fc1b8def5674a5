#include "platform/console.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

namespace {

constexpr int TIMEOUT = -2;       // readbyte: nothing arrived within the wait
constexpr int SKIP = -3;          // plainkey: the byte is no key of its own
constexpr int ESCWAIT_MS = 80;    // a terminal sends a key's escape sequence at once
constexpr int MAXSEQLEN = 32;     // parameter bytes of one sequence we are willing to eat
constexpr int ESC = 27;
constexpr int DEL = 127;

// The signals that end or stop the process from the keyboard or from outside;
// while a terminal is in key mode each of them puts the terminal back first.
constexpr int guarded[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGTSTP};
constexpr int NGUARDED = int(sizeof guarded / sizeof guarded[0]);

int usein = -1;          // con_use() descriptors; -1: standard input / output
int useout = -1;
bool ended = false;      // the input has ended; it never comes back
bool aftercr = false;    // the last byte was CR, so an LF right after it is the same Enter
int pending = -1;        // second code of a cursor or function key, handed out next
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
// TIMEOUT when wait_ms (>= 0) passed without one.
int readbyte(int wait_ms) {
  if (ended) return CON_EOF;
  int fd = infd();
  pollfd p{fd, POLLIN, 0};
  if (wait_ms >= 0) {
    int r;
    do r = poll(&p, 1, wait_ms);
    while (r < 0 && errno == EINTR);
    if (r == 0) return TIMEOUT;
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

// plainkey(b): the key of a byte outside an escape sequence, or SKIP.
int plainkey(int b) {
  bool cr = aftercr;
  aftercr = b == '\r';
  if (b == '\n' && cr) return SKIP;
  if (b == '\r' || b == '\n') return CON_ENTER;
  if (b == DEL) return CON_BACKSPACE;
  return b;
}

// seqfinal(intro, next): read the rest of a sequence begun with ESC intro.
// Its final byte, or intro when it was cut short; -1 when another key broke
// into it, with that key's byte in *next.
int seqfinal(int intro, int* next) {
  for (int n = 0; n < MAXSEQLEN; n++) {
    int c = readbyte(ESCWAIT_MS);
    if (c == TIMEOUT || c == CON_EOF) return intro;
    if (c >= 0x40 && c <= 0x7E) return c;
    // ESC O takes exactly one final byte; ESC [ takes parameters first.
    if (intro == '[' && c >= 0x20 && c <= 0x3F) continue;
    *next = c;
    return -1;
  }
  return intro;
}

}  // namespace

void con_use(fileh in, fileh out) {
  usein = in == FILE_INVALID ? -1 : int(in);
  useout = out == FILE_INVALID ? -1 : int(out);
  ended = false;
  aftercr = false;
  pending = -1;
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
  if (pending >= 0) {
    int k = pending;
    pending = -1;
    return k;
  }
  int b = readbyte(-1);
  for (;;) {
    if (b == CON_EOF) return CON_EOF;
    if (b != ESC) {
      int k = plainkey(b);
      if (k != SKIP) return k;
      b = readbyte(-1);
      continue;
    }
    // Escape: a key of its own when nothing follows soon, else the start of
    // a cursor or function key's sequence (or Alt with a key).
    aftercr = false;
    int c = readbyte(ESCWAIT_MS);
    if (c == TIMEOUT || c == CON_EOF) return ESC;
    if (c == ESC || c < 0x20 || c == DEL) {
      // Drop the escape; the key after it counts as typed.
      b = c;
      continue;
    }
    if (c == '[' || c == 'O') {
      int next = -1;
      int fin = seqfinal(c, &next);
      if (fin < 0) {
        b = next;
        continue;
      }
      c = fin;
    }
    pending = c;
    return CON_KEYPREFIX;
  }
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
