// Sockets as the relay sees them: Winsock-style handles, error numbers and
// select() sets.
#pragma once
#include <cstdint>

// Socket handle, printed with "%u". NET_INVALID marks a failed socket()/accept().
using sockh = uint32_t;
constexpr sockh NET_INVALID = 0xFFFFFFFFu;

// Winsock error numbers the relay speaks everywhere; errno values are
// translated to these at the boundary (net_translate_error).
constexpr int NETERR_WOULDBLOCK = 10035;
constexpr int NETERR_NOTSOCK = 10038;
constexpr int NETERR_ADDRINUSE = 10048;
constexpr int NETERR_ADDRNOTAVAIL = 10049;
constexpr int NETERR_NETDOWN = 10050;
constexpr int NETERR_NETUNREACH = 10051;
constexpr int NETERR_NETRESET = 10052;
constexpr int NETERR_CONNABORTED = 10053;
constexpr int NETERR_CONNRESET = 10054;
constexpr int NETERR_NOTCONN = 10057;
constexpr int NETERR_SHUTDOWN = 10058;
constexpr int NETERR_TIMEDOUT = 10060;
constexpr int NETERR_CONNREFUSED = 10061;
constexpr int NETERR_HOSTUNREACH = 10065;
constexpr int NETERR_NOTINITIALISED = 10093;
constexpr int NETERR_HOST_NOT_FOUND = 11001;

constexpr uint32_t FDSETMAX = 128;   // sockets per select() set, like Winsock's FD_SETSIZE

// A Winsock-style socket set: a count and up to FDSETMAX handles.
struct sockset {
  uint32_t count;
  sockh handles[FDSETMAX];
};

// sockset_zero(s): empty the set.
void sockset_zero(sockset* s);
// sockset_add(s, h): add h unless it is already there or the set is full.
void sockset_add(sockset* s, sockh h);
// sockset_remove(s, h): remove h if present.
void sockset_remove(sockset* s, sockh h);
// sockset_has(s, h): true when h is in the set.
bool sockset_has(const sockset* s, sockh h);

// net_translate_error(errnum): the Winsock number for an errno value; values
// without a counterpart pass through unchanged.
int net_translate_error(int errnum);

// net_lasterror(): the Winsock error number of the last failed call (WSAGetLastError).
int net_lasterror();

// net_startup(major, minor, granted): start the socket layer (WSAStartup);
// 0 or an error code. granted receives the version granted, major in the low byte.
int net_startup(uint8_t major, uint8_t minor, uint16_t* granted);
// net_cleanup(): stop the socket layer (WSACleanup).
void net_cleanup();

// IPv4 addresses are uint32_t in network byte order, as they stand in memory.
sockh net_socket();                                        // AF_INET, SOCK_STREAM
int net_setnonblocking(sockh h);                           // 0 or -1
int net_bind(sockh h, uint32_t addr, uint16_t port);       // 0 or -1
int net_listen(sockh h, int backlog);                      // 0 or -1
sockh net_accept(sockh h, uint32_t* addr, uint16_t* port); // NET_INVALID on failure
int net_connect(sockh h, uint32_t addr, uint16_t port);    // 0 or -1 (WSAEWOULDBLOCK: pending)
int net_recv(sockh h, void* buf, uint32_t len);            // bytes, 0 at EOF, -1
int net_send(sockh h, const void* buf, uint32_t len);      // bytes or -1
// net_sendmore(h, buf, len): net_send for a caller that will have the next
// bytes for h at once (its read filled the buffer): the system may hold a
// short tail back to go out with them (MSG_MORE) rather than as a segment of
// its own. Whatever it holds goes out with the next net_send or net_push.
// Where the system has no such hint it is net_send.
int net_sendmore(sockh h, const void* buf, uint32_t len);  // bytes or -1
// net_push(h): send at once whatever a net_sendmore left held back; 0 or -1.
int net_push(sockh h);
// net_setkeepalive(h): let the system probe an idle connection (SO_KEEPALIVE),
// so that a peer that vanished without a close ends in a socket error instead
// of holding its connection forever; 0 or -1. Changes nothing on the wire
// while the peer answers.
int net_setkeepalive(sockh h);
// net_setnodelay(h): send each write at once (TCP_NODELAY). A relay passes on
// what it has as soon as it has it; holding a short tail back until the
// peer's delayed acknowledgement only adds latency; 0 or -1.
int net_setnodelay(sockh h);
int net_getpeername(sockh h, uint32_t* addr, uint16_t* port); // 0 or -1
int net_getsockerror(sockh h, int* err);                   // SO_ERROR as a Winsock number; 0 or -1
// net_setabort(h): make the next net_close end the connection with a reset
// (SO_LINGER on, time 0) instead of an orderly end, so that the peer sees an
// abort, not the end of the data; 0 or -1. Bytes not yet sent are dropped.
int net_setabort(sockh h);
int net_close(sockh h);                                    // 0 or -1

// net_select(rd, wr, ex, timeout_ms): wait like Winsock select(); sets may be
// null; on return each set holds only its ready handles. A pending connect that
// succeeded is in wr, one that failed in ex. Returns the number of ready
// handles, 0 on time-out, -1 on failure (net_lasterror). Signals do not end the wait.
int net_select(sockset* rd, sockset* wr, sockset* ex, uint32_t timeout_ms);

// net_lookup(name, addr): look up a host name (gethostbyname). 0 and the first
// IPv4 address; NET_LOOKUP_NOTIPV4 when the result holds no IPv4 address;
// else a Winsock error number (NETERR_HOST_NOT_FOUND, ...).
constexpr int NET_LOOKUP_NOTIPV4 = 1;
int net_lookup(const char* name, uint32_t* addr);

// net_ntoa(addr, out): dotted form of an address (inet_ntoa).
void net_ntoa(uint32_t addr, char out[16]);
