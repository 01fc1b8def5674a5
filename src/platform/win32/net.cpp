// Winsock 2.2 as it is: the relay already speaks its handles, error numbers
// and select() semantics, so most calls pass straight through.

// The relay's select() sets hold up to 128 sockets; Winsock's fd_set is sized
// by FD_SETSIZE when <winsock2.h> is read (mingw's default is 64).
#define FD_SETSIZE 128
#define WIN32_LEAN_AND_MEAN
#include <winsock2.h>
#include <ws2tcpip.h>

#include <climits>
#include <cstdio>
#include <cstring>

#include "platform/net.h"

static_assert(FD_SETSIZE == FDSETMAX, "fd_set and sockset must hold as many sockets");
static_assert(NETERR_WOULDBLOCK == WSAEWOULDBLOCK && NETERR_NOTSOCK == WSAENOTSOCK &&
                  NETERR_ADDRINUSE == WSAEADDRINUSE && NETERR_CONNRESET == WSAECONNRESET &&
                  NETERR_CONNREFUSED == WSAECONNREFUSED && NETERR_NOTINITIALISED == WSANOTINITIALISED &&
                  NETERR_HOST_NOT_FOUND == WSAHOST_NOT_FOUND,
              "the relay's error numbers are Winsock's");

namespace {

// A socket handle fits in 32 bits on 64-bit Windows too; widening it back
// extends the sign, as the system does (so NET_INVALID is INVALID_SOCKET).
SOCKET sock(sockh h) { return SOCKET(intptr_t(int32_t(h))); }

sockh handle(SOCKET s) { return s == INVALID_SOCKET ? NET_INVALID : sockh(uint32_t(s)); }

sockaddr_in ipv4addr(uint32_t addr, uint16_t port) {
  sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = addr;
  return sa;
}

int clamp(uint32_t len) { return len > uint32_t(INT_MAX) ? INT_MAX : int(len); }

// Fill an fd_set from a sockset; Winsock's set is a count and an array too.
void tofdset(const sockset* s, fd_set* f) {
  f->fd_count = 0;
  for (uint32_t i = 0; i < s->count && i < FDSETMAX; i++) f->fd_array[f->fd_count++] = sock(s->handles[i]);
}

// Keep in s only the handles select() left in f, in the order s had them.
uint32_t keepready(sockset* s, fd_set* f) {
  uint32_t n = 0;
  for (uint32_t i = 0; i < s->count && i < FDSETMAX; i++)
    if (FD_ISSET(sock(s->handles[i]), f)) s->handles[n++] = s->handles[i];
  s->count = n;
  return n;
}

}  // namespace

int net_translate_error(int errnum) {
  // Winsock's numbers are the relay's own.
  return errnum;
}

int net_lasterror() { return WSAGetLastError(); }

int net_startup(uint8_t major, uint8_t minor, uint16_t* granted) {
  WSADATA wsa;
  int rc = WSAStartup(MAKEWORD(major, minor), &wsa);
  *granted = rc == 0 ? wsa.wVersion : 0;
  return rc;
}

void net_cleanup() { WSACleanup(); }

sockh net_socket() { return handle(::socket(AF_INET, SOCK_STREAM, 0)); }

int net_setnonblocking(sockh h) {
  u_long one = 1;
  return ::ioctlsocket(sock(h), FIONBIO, &one) == 0 ? 0 : -1;
}

int net_bind(sockh h, uint32_t addr, uint16_t port) {
  // Nobody else may bind the port while the relay listens on it, not even a
  // process that asks for SO_REUSEADDR (which Windows would let steal it);
  // for the same reason the relay never asks for SO_REUSEADDR itself. A
  // failure here leaves the system's default sharing, which refuses other
  // users' sockets anyway.
  BOOL one = TRUE;
  ::setsockopt(sock(h), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof one);
  sockaddr_in sa = ipv4addr(addr, port);
  return ::bind(sock(h), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 ? 0 : -1;
}

int net_listen(sockh h, int backlog) { return ::listen(sock(h), backlog) == 0 ? 0 : -1; }

sockh net_accept(sockh h, uint32_t* addr, uint16_t* port) {
  // The accepted socket inherits the listener's non-blocking mode.
  sockaddr_in sa;
  int len = sizeof sa;
  SOCKET c = ::accept(sock(h), reinterpret_cast<sockaddr*>(&sa), &len);
  if (c == INVALID_SOCKET) return NET_INVALID;
  if (addr) *addr = sa.sin_addr.s_addr;
  if (port) *port = ntohs(sa.sin_port);
  return handle(c);
}

int net_connect(sockh h, uint32_t addr, uint16_t port) {
  sockaddr_in sa = ipv4addr(addr, port);
  return ::connect(sock(h), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 ? 0 : -1;
}

int net_recv(sockh h, void* buf, uint32_t len) {
  int n = ::recv(sock(h), static_cast<char*>(buf), clamp(len), 0);
  return n == SOCKET_ERROR ? -1 : n;
}

int net_send(sockh h, const void* buf, uint32_t len) {
  int n = ::send(sock(h), static_cast<const char*>(buf), clamp(len), 0);
  return n == SOCKET_ERROR ? -1 : n;
}

// Winsock has no MSG_MORE: every send goes out as it comes.
int net_sendmore(sockh h, const void* buf, uint32_t len) { return net_send(h, buf, len); }

int net_push(sockh) { return 0; }

int net_setkeepalive(sockh h) {
  BOOL one = TRUE;
  int rc = ::setsockopt(sock(h), SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&one), sizeof one);
  return rc == 0 ? 0 : -1;
}

int net_setnodelay(sockh h) {
  BOOL one = TRUE;
  int rc = ::setsockopt(sock(h), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
  return rc == 0 ? 0 : -1;
}

int net_getpeername(sockh h, uint32_t* addr, uint16_t* port) {
  sockaddr_in sa;
  int len = sizeof sa;
  if (::getpeername(sock(h), reinterpret_cast<sockaddr*>(&sa), &len) != 0) return -1;
  if (sa.sin_family != AF_INET) {
    WSASetLastError(WSAEAFNOSUPPORT);
    return -1;
  }
  if (addr) *addr = sa.sin_addr.s_addr;
  if (port) *port = ntohs(sa.sin_port);
  return 0;
}

int net_getsockerror(sockh h, int* err) {
  int e = 0;
  int len = sizeof e;
  if (::getsockopt(sock(h), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&e), &len) != 0) return -1;
  *err = e;
  return 0;
}

int net_setabort(sockh h) {
  // Enabled with a time-out of zero: closesocket() then ends the connection
  // at once with a reset (a "hard" close), dropping what is unsent.
  linger l = {1, 0};
  int rc = ::setsockopt(sock(h), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
  return rc == 0 ? 0 : -1;
}

int net_close(sockh h) { return ::closesocket(sock(h)) == 0 ? 0 : -1; }

int net_select(sockset* rd, sockset* wr, sockset* ex, uint32_t timeout_ms) {
  // Standard output is fully buffered on this system (its C runtime has no
  // line buffering); whatever the relay printed is written out before it
  // waits, so no log line is held back while nothing happens.
  fflush(stdout);

  fd_set sets[3];
  sockset* in[3] = {rd, wr, ex};
  fd_set* f[3] = {nullptr, nullptr, nullptr};
  for (int j = 0; j < 3; j++) {
    if (!in[j]) continue;
    f[j] = &sets[j];
    tofdset(in[j], f[j]);
  }
  timeval tv;
  tv.tv_sec = long(timeout_ms / 1000);
  tv.tv_usec = long(timeout_ms % 1000) * 1000;
  // The first argument is ignored by Winsock. A pending connect that
  // succeeded is reported in the write set, one that failed in the
  // exception set; a select() over no socket at all fails with WSAEINVAL.
  int rc = ::select(0, f[0], f[1], f[2], &tv);
  if (rc == SOCKET_ERROR) return -1;
  int total = 0;
  for (int j = 0; j < 3; j++)
    if (in[j]) total += int(keepready(in[j], f[j]));
  return total;
}

int net_lookup(const char* name, uint32_t* addr) {
  // A lookup may wait for the network; show what was printed first.
  fflush(stdout);
  hostent* he = ::gethostbyname(name);
  if (he == nullptr) {
    int err = WSAGetLastError();
    // WSANO_DATA: the name exists, but without an IPv4 address.
    if (err == WSANO_DATA) return NET_LOOKUP_NOTIPV4;
    return err != 0 ? err : WSANO_RECOVERY;
  }
  if (he->h_addrtype != AF_INET || he->h_length != 4 || he->h_addr_list[0] == nullptr)
    return NET_LOOKUP_NOTIPV4;
  memcpy(addr, he->h_addr_list[0], 4);
  return 0;
}

void net_ntoa(uint32_t addr, char out[16]) {
  // The text of inet_ntoa(), without its buffer shared by every caller.
  const uint8_t* b = reinterpret_cast<const uint8_t*>(&addr);
  snprintf(out, 16, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
}
