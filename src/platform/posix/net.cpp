#include "platform/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

namespace {

// Winsock numbers that only this file needs; the rest are in net.h.
constexpr int NETERR_INTR = 10004;
constexpr int NETERR_ACCES = 10013;
constexpr int NETERR_FAULT = 10014;
constexpr int NETERR_INVAL = 10022;
constexpr int NETERR_MFILE = 10024;
constexpr int NETERR_ALREADY = 10037;
constexpr int NETERR_DESTADDRREQ = 10039;
constexpr int NETERR_MSGSIZE = 10040;
constexpr int NETERR_PROTOTYPE = 10041;
constexpr int NETERR_NOPROTOOPT = 10042;
constexpr int NETERR_PROTONOSUPPORT = 10043;
constexpr int NETERR_OPNOTSUPP = 10045;
constexpr int NETERR_AFNOSUPPORT = 10047;
constexpr int NETERR_NOBUFS = 10055;
constexpr int NETERR_ISCONN = 10056;
constexpr int NETERR_HOSTDOWN = 10064;
constexpr int NETERR_TRY_AGAIN = 11002;
constexpr int NETERR_NO_RECOVERY = 11003;

// errnowsa[i]: the errno value and the Winsock number that stands for it.
// This is the one place where the two numberings meet.
struct errpair {
  int errnum;
  int wsa;
};
constexpr errpair errnowsa[] = {
    {EINTR, NETERR_INTR},
    {EBADF, NETERR_NOTSOCK},        // a closed or foreign handle is "not a socket" to Winsock
    {EACCES, NETERR_ACCES},
    {EPERM, NETERR_ACCES},
    {EFAULT, NETERR_FAULT},
    {EINVAL, NETERR_INVAL},
    {EMFILE, NETERR_MFILE},
    {ENFILE, NETERR_MFILE},
    {EWOULDBLOCK, NETERR_WOULDBLOCK},
    {EAGAIN, NETERR_WOULDBLOCK},    // the same value on Linux; kept for systems where it differs
    {EINPROGRESS, NETERR_WOULDBLOCK},  // a pending connect reads as would-block, as on Winsock
    {EALREADY, NETERR_ALREADY},
    {ENOTSOCK, NETERR_NOTSOCK},
    {EDESTADDRREQ, NETERR_DESTADDRREQ},
    {EMSGSIZE, NETERR_MSGSIZE},
    {EPROTOTYPE, NETERR_PROTOTYPE},
    {ENOPROTOOPT, NETERR_NOPROTOOPT},
    {EPROTONOSUPPORT, NETERR_PROTONOSUPPORT},
    {EOPNOTSUPP, NETERR_OPNOTSUPP},
    {EAFNOSUPPORT, NETERR_AFNOSUPPORT},
    {EADDRINUSE, NETERR_ADDRINUSE},
    {EADDRNOTAVAIL, NETERR_ADDRNOTAVAIL},
    {ENETDOWN, NETERR_NETDOWN},
    {ENETUNREACH, NETERR_NETUNREACH},
    {ENETRESET, NETERR_NETRESET},
    {ECONNABORTED, NETERR_CONNABORTED},
    {ECONNRESET, NETERR_CONNRESET},
    {ENOBUFS, NETERR_NOBUFS},
    {ENOMEM, NETERR_NOBUFS},
    {EISCONN, NETERR_ISCONN},
    {ENOTCONN, NETERR_NOTCONN},
    {EPIPE, NETERR_SHUTDOWN},       // writing after the peer or we shut the stream down
    {ESHUTDOWN, NETERR_SHUTDOWN},
    {ETIMEDOUT, NETERR_TIMEDOUT},
    {ECONNREFUSED, NETERR_CONNREFUSED},
    {EHOSTDOWN, NETERR_HOSTDOWN},
    {EHOSTUNREACH, NETERR_HOSTUNREACH},
};

// The last failure of this thread, in Winsock numbers (WSAGetLastError).
thread_local int lasterror = 0;

// fail(errnum): note errnum as the last error; returns -1 for the caller to pass on.
int fail(int errnum) {
  lasterror = net_translate_error(errnum);
  return -1;
}

int failwsa(int wsa) {
  lasterror = wsa;
  return -1;
}

sockaddr_in ipv4addr(uint32_t addr, uint16_t port) {
  sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = addr;
  return sa;
}

// validfd(h): the descriptor of h, or -1 when h cannot be one.
int validfd(sockh h) {
  return h > uint32_t(INT_MAX) ? -1 : int(h);
}

uint64_t nowms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u;
}

// connected(fd): true when the stream has a peer. Unlike reading SO_ERROR this
// leaves the pending error in place for the caller's net_getsockerror().
bool connected(int fd) {
  sockaddr_in sa;
  socklen_t len = sizeof sa;
  return ::getpeername(fd, reinterpret_cast<sockaddr*>(&sa), &len) == 0;
}

}  // namespace

int net_translate_error(int errnum) {
  for (const errpair& p : errnowsa)
    if (p.errnum == errnum) return p.wsa;
  return errnum;
}

int net_lasterror() {
  return lasterror;
}

int net_startup(uint8_t major, uint8_t minor, uint16_t* granted) {
  (void)major;
  (void)minor;
  // A write to a closed connection must come back as an error the relay
  // reports for that connection, not end the process.
  signal(SIGPIPE, SIG_IGN);
  *granted = 0x0202;
  return 0;
}

void net_cleanup() {}

sockh net_socket() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    fail(errno);
    return NET_INVALID;
  }
  return sockh(fd);
}

int net_setnonblocking(sockh h) {
  int fd = validfd(h);
  if (fd < 0) return failwsa(NETERR_NOTSOCK);
  // One call, like Winsock's ioctlsocket(FIONBIO), where reading the flags
  // and writing them back would take two.
  int one = 1;
  if (::ioctl(fd, FIONBIO, &one) != 0) return fail(errno);
  return 0;
}

int net_bind(sockh h, uint32_t addr, uint16_t port) {
  int fd = validfd(h);
  if (fd < 0) return failwsa(NETERR_NOTSOCK);
  // SO_REUSEADDR on Linux still refuses a port that another socket listens
  // on (a second relay on the same port fails with NETERR_ADDRINUSE), but lets
  // the relay restart at once while connections of its previous run linger in
  // TIME_WAIT, as a Winsock listener may. Without it an operator would wait
  // minutes after every restart.
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa = ipv4addr(addr, port);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return fail(errno);
  return 0;
}

int net_listen(sockh h, int backlog) {
  int fd = validfd(h);
  if (fd < 0) return failwsa(NETERR_NOTSOCK);
  if (::listen(fd, backlog) != 0) return fail(errno);
  return 0;
}

sockh net_accept(sockh h, uint32_t* addr, uint16_t* port) {
  int fd = validfd(h);
  if (fd < 0) {
    failwsa(NETERR_NOTSOCK);
    return NET_INVALID;
  }
  // A Winsock socket accepted from a non-blocking listener is non-blocking
  // too, and the relay relies on it: a blocking send() of a full buffer to a
  // client that does not read would stop the whole loop. POSIX does not pass
  // the mode on, so pass it here.
  int fl = ::fcntl(fd, F_GETFL);
  int flags = SOCK_CLOEXEC | (fl >= 0 && (fl & O_NONBLOCK) ? SOCK_NONBLOCK : 0);
  sockaddr_in sa;
  socklen_t len;
  int c;
  do {
    len = sizeof sa;
    c = ::accept4(fd, reinterpret_cast<sockaddr*>(&sa), &len, flags);
  } while (c < 0 && errno == EINTR);
  if (c < 0) {
    fail(errno);
    return NET_INVALID;
  }
  if (addr) *addr = sa.sin_addr.s_addr;
  if (port) *port = ntohs(sa.sin_port);
  return sockh(c);
}

namespace {

// setflag(h, level, name): turns a yes/no socket option on.
int setflag(sockh h, int level, int name) {
  int fd = validfd(h);
  if (fd < 0) return failwsa(NETERR_NOTSOCK);
  int one = 1;
  if (::setsockopt(fd, level, name, &one, sizeof one) != 0) return fail(errno);
  return 0;
}

}  // namespace

int net_setkeepalive(sockh h) { return setflag(h, SOL_SOCKET, SO_KEEPALIVE); }

int net_setnodelay(sockh h) { return setflag(h, IPPROTO_TCP, TCP_NODELAY); }

int net_connect(sockh h, uint32_t addr, uint16_t port) {
  int fd = validfd(h);
  if (fd < 0) return failwsa(NETERR_NOTSOCK);
  sockaddr_in sa = ipv4addr(addr, port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) return 0;
  // An interrupted connect goes on in the background, like one in progress.
  if (errno == EINTR) return failwsa(NETERR_WOULDBLOCK);
  return fail(errno);
}

int net_recv(sockh h, void* buf, uint32_t len) {
  int fd = validfd(h);
  if (fd < 0) return failwsa(NETERR_NOTSOCK);
  if (len > uint32_t(INT_MAX)) len = uint32_t(INT_MAX);
  ssize_t n;
  do n = ::recv(fd, buf, len, 0);
  while (n < 0 && errno == EINTR);
  if (n < 0) return fail(errno);
  return int(n);
}

namespace {

int sendflags(sockh h, const void* buf, uint32_t len, int flags) {
  int fd = validfd(h);
  if (fd < 0) return failwsa(NETERR_NOTSOCK);
  if (len > uint32_t(INT_MAX)) len = uint32_t(INT_MAX);
  ssize_t n;
  do n = ::send(fd, buf, len, flags | MSG_NOSIGNAL);
  while (n < 0 && errno == EINTR);
  if (n < 0) return fail(errno);
  return int(n);
}

}  // namespace

int net_send(sockh h, const void* buf, uint32_t len) { return sendflags(h, buf, len, 0); }

int net_sendmore(sockh h, const void* buf, uint32_t len) { return sendflags(h, buf, len, MSG_MORE); }

// Setting TCP_NODELAY, even when it is already on, sends what is queued at
// once: the one way to end a MSG_MORE hold without sending more bytes.
int net_push(sockh h) { return net_setnodelay(h); }

int net_getpeername(sockh h, uint32_t* addr, uint16_t* port) {
  int fd = validfd(h);
  if (fd < 0) return failwsa(NETERR_NOTSOCK);
  sockaddr_in sa;
  socklen_t len = sizeof sa;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return fail(errno);
  if (sa.sin_family != AF_INET) return failwsa(NETERR_AFNOSUPPORT);
  if (addr) *addr = sa.sin_addr.s_addr;
  if (port) *port = ntohs(sa.sin_port);
  return 0;
}

int net_getsockerror(sockh h, int* err) {
  int fd = validfd(h);
  if (fd < 0) return failwsa(NETERR_NOTSOCK);
  int e = 0;
  socklen_t len = sizeof e;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &e, &len) != 0) return fail(errno);
  *err = e == 0 ? 0 : net_translate_error(e);
  return 0;
}

int net_setabort(sockh h) {
  int fd = validfd(h);
  if (fd < 0) return failwsa(NETERR_NOTSOCK);
  // A linger time of zero: close() then discards what is unsent and sends
  // a reset instead of the orderly end.
  linger l = {1, 0};
  if (::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l) != 0) return fail(errno);
  return 0;
}

int net_close(sockh h) {
  int fd = validfd(h);
  if (fd < 0) return failwsa(NETERR_NOTSOCK);
  // On Linux the descriptor is gone even when close() reports EINTR; a retry
  // could close a descriptor that another open has reused meanwhile.
  if (::close(fd) != 0 && errno != EINTR) return fail(errno);
  return 0;
}

int net_select(sockset* rd, sockset* wr, sockset* ex, uint32_t timeout_ms) {
  // Standard output is fully buffered; whatever the relay printed is
  // written out before it waits, so no log line is held back meanwhile.
  fflush(stdout);

  sockset* sets[3] = {rd, wr, ex};
  const short want[3] = {POLLIN, POLLOUT, POLLPRI};

  // Build one pollfd per distinct handle over the three sets.
  pollfd fds[3 * FDSETMAX];
  nfds_t nfds = 0;
  for (sockset* s : sets) {
    if (!s) continue;
    for (uint32_t i = 0; i < s->count && i < FDSETMAX; i++) {
      int fd = validfd(s->handles[i]);
      if (fd < 0) return failwsa(NETERR_NOTSOCK);
      nfds_t k = 0;
      while (k < nfds && fds[k].fd != fd) k++;
      if (k == nfds) fds[nfds++] = pollfd{fd, 0, 0};
    }
  }
  // Winsock refuses a select() over nothing rather than sleeping.
  if (nfds == 0) return failwsa(NETERR_INVAL);
  for (int j = 0; j < 3; j++) {
    if (!sets[j]) continue;
    for (nfds_t k = 0; k < nfds; k++)
      if (sockset_has(sets[j], sockh(fds[k].fd))) fds[k].events |= want[j];
  }

  // Wait; a signal only shortens the time left, it never ends the wait.
  uint64_t deadline = nowms() + timeout_ms;
  int rc;
  for (;;) {
    uint64_t now = nowms();
    uint64_t left = deadline > now ? deadline - now : 0;
    rc = ::poll(fds, nfds, left > uint64_t(INT_MAX) ? INT_MAX : int(left));
    if (rc > 0) break;
    if (rc < 0 && errno != EINTR) return fail(errno);
    if (rc == 0 && left <= uint64_t(INT_MAX)) break;
  }

  // Decide per handle, then keep in each set only its ready handles.
  bool ready[3][3 * FDSETMAX] = {};
  for (nfds_t k = 0; k < nfds; k++) {
    short r = fds[k].revents;
    if (r & POLLNVAL) return failwsa(NETERR_NOTSOCK);
    sockh h = sockh(fds[k].fd);
    bool inrd = rd && sockset_has(rd, h);
    bool inwr = wr && sockset_has(wr, h);
    bool inex = ex && sockset_has(ex, h);
    // Error and hang-up make a waiting read or write ready, so that the
    // following recv() or send() sees the end of file or the error.
    ready[0][k] = inrd && (r & (POLLIN | POLLERR | POLLHUP));
    if (inwr && inex) {
      // Write and exception together mark a pending connect: success goes to
      // the write set, failure only to the exception set. Failure is told by
      // POLLERR/POLLHUP, or by a writable socket without a peer.
      bool failed = (r & (POLLERR | POLLHUP)) || ((r & POLLOUT) && !connected(fds[k].fd));
      ready[1][k] = (r & POLLOUT) && !failed;
      ready[2][k] = failed || (r & POLLPRI);
    } else {
      ready[1][k] = inwr && (r & (POLLOUT | POLLERR | POLLHUP));
      ready[2][k] = inex && (r & (POLLPRI | POLLERR | POLLHUP));
    }
  }
  int total = 0;
  for (int j = 0; j < 3; j++) {
    sockset* s = sets[j];
    if (!s) continue;
    uint32_t n = 0;
    for (uint32_t i = 0; i < s->count && i < FDSETMAX; i++) {
      nfds_t k = 0;
      while (fds[k].fd != int(s->handles[i])) k++;
      if (ready[j][k]) s->handles[n++] = s->handles[i];
    }
    s->count = n;
    total += int(n);
  }
  return total;
}

int net_lookup(const char* name, uint32_t* addr) {
  // A lookup may wait for the network; show what was printed first.
  fflush(stdout);
  addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  int rc = ::getaddrinfo(name, nullptr, &hints, &res);
  if (rc == 0) {
    for (addrinfo* a = res; a; a = a->ai_next) {
      if (a->ai_family != AF_INET || a->ai_addrlen < sizeof(sockaddr_in)) continue;
      *addr = reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr.s_addr;
      ::freeaddrinfo(res);
      return 0;
    }
    ::freeaddrinfo(res);
    return NET_LOOKUP_NOTIPV4;
  }
  int wsa;
  switch (rc) {
    case EAI_NONAME:
#ifdef EAI_NODATA
    case EAI_NODATA:
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
#endif
    {
      // The name may exist with addresses of another family only: ask once
      // more without the family, so that case is told from an unknown name.
      hints.ai_family = AF_UNSPEC;
      if (::getaddrinfo(name, nullptr, &hints, &res) == 0) {
        ::freeaddrinfo(res);
        return NET_LOOKUP_NOTIPV4;
      }
      wsa = NETERR_HOST_NOT_FOUND;
      break;
    }
    case EAI_AGAIN: wsa = NETERR_TRY_AGAIN; break;
    case EAI_MEMORY: wsa = NETERR_NOBUFS; break;
    case EAI_SYSTEM: wsa = net_translate_error(errno); break;
    default: wsa = NETERR_NO_RECOVERY; break;
  }
  lasterror = wsa;
  return wsa;
}

void net_ntoa(uint32_t addr, char out[16]) {
  in_addr a;
  a.s_addr = addr;
  if (!::inet_ntop(AF_INET, &a, out, 16)) strcpy(out, "0.0.0.0");
}
