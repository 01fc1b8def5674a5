// The socket layer over real loopback sockets: Winsock-style sets, select()
// over poll(), the errno translation, look-ups and the bind policy.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/net.h"
#include "support/harness.h"

namespace {

const uint32_t LOOPBACK = htonl(INADDR_LOOPBACK);

uint64_t msnow() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u;
}

// A listening socket on a port the system chose, closed with the fixture.
struct listener {
  sockh h = NET_INVALID;
  uint16_t port = 0;
  listener() {
    h = net_socket();
    EXPECT_NE(h, NET_INVALID);
    EXPECT_EQ(net_bind(h, LOOPBACK, 0), 0);
    EXPECT_EQ(net_listen(h, 20), 0);
    sockaddr_in sa;
    socklen_t len = sizeof sa;
    getsockname(int(h), reinterpret_cast<sockaddr*>(&sa), &len);
    port = ntohs(sa.sin_port);
  }
  ~listener() { net_close(h); }
};

// startconnect(port): a non-blocking socket whose connect to port is under way.
sockh startconnect(uint16_t port) {
  sockh c = net_socket();
  EXPECT_EQ(net_setnonblocking(c), 0);
  int rc = net_connect(c, LOOPBACK, port);
  // Loopback may finish at once; either way select() must then report it.
  if (rc != 0) {
    EXPECT_EQ(net_lasterror(), NETERR_WOULDBLOCK);
  }
  return c;
}

// pair: a connected client and the server side accepted for it.
struct connpair {
  listener l;
  sockh client = NET_INVALID;
  sockh server = NET_INVALID;
  connpair() {
    client = net_socket();
    EXPECT_EQ(net_connect(client, LOOPBACK, l.port), 0);
    uint32_t addr = 0;
    uint16_t port = 0;
    server = net_accept(l.h, &addr, &port);
    EXPECT_NE(server, NET_INVALID);
    EXPECT_EQ(addr, LOOPBACK);
    EXPECT_NE(port, 0);
  }
  ~connpair() {
    if (client != NET_INVALID) net_close(client);
    if (server != NET_INVALID) net_close(server);
  }
};

void noop(int) {}

}  // namespace

TEST(Sockset, AddIgnoresDuplicatesAndOverflowRemoveKeepsOrder) {
  sockset s;
  sockset_zero(&s);
  sockset_add(&s, 7);
  sockset_add(&s, 7);
  EXPECT_EQ(s.count, 1u);
  for (sockh h = 100; h < 100 + 200; h++) sockset_add(&s, h);
  EXPECT_EQ(s.count, FDSETMAX);
  EXPECT_TRUE(sockset_has(&s, 7));
  EXPECT_TRUE(sockset_has(&s, 100 + FDSETMAX - 2));
  EXPECT_FALSE(sockset_has(&s, 100 + FDSETMAX - 1));   // did not fit

  sockset_remove(&s, 100);
  sockset_remove(&s, 99999);   // absent: no change
  EXPECT_EQ(s.count, FDSETMAX - 1);
  EXPECT_FALSE(sockset_has(&s, 100));
  EXPECT_EQ(s.handles[0], 7u);
  EXPECT_EQ(s.handles[1], 101u);
  // Room again for one.
  sockset_add(&s, 5000);
  EXPECT_TRUE(sockset_has(&s, 5000));
  sockset_zero(&s);
  EXPECT_FALSE(sockset_has(&s, 7));
}

TEST(NetError, ErrnoTranslatesToWinsockNumbers) {
  // The codes the log explains or the loop acts on.
  EXPECT_EQ(net_translate_error(ECONNREFUSED), 10061);
  EXPECT_EQ(net_translate_error(EAGAIN), 10035);
  EXPECT_EQ(net_translate_error(EINPROGRESS), 10035);
  EXPECT_EQ(net_translate_error(EADDRINUSE), 10048);
  EXPECT_EQ(net_translate_error(ECONNRESET), 10054);
  EXPECT_EQ(net_translate_error(EPIPE), 10058);
  EXPECT_EQ(net_translate_error(ETIMEDOUT), 10060);
  EXPECT_EQ(net_translate_error(EHOSTUNREACH), 10065);
  EXPECT_EQ(net_translate_error(EBADF), 10038);
  EXPECT_EQ(net_translate_error(EMFILE), 10024);
  // No counterpart: passed through.
  EXPECT_EQ(net_translate_error(ENOENT), ENOENT);
  EXPECT_EQ(net_translate_error(0), 0);

  // Every failing call leaves its code for net_lasterror().
  char buf[4];
  EXPECT_EQ(net_recv(NET_INVALID, buf, sizeof buf), -1);
  EXPECT_EQ(net_lasterror(), NETERR_NOTSOCK);
  sockh h = net_socket();
  EXPECT_EQ(net_recv(h, buf, sizeof buf), -1);
  EXPECT_EQ(net_lasterror(), NETERR_NOTCONN);
  net_close(h);
}

TEST(NetStartup, GrantsVersionTwoTwoAndSurvivesWritesToAClosedPeer) {
  uint16_t granted = 0;
  ASSERT_EQ(net_startup(2, 2, &granted), 0);
  EXPECT_EQ(granted, 0x0202);

  connpair p;
  net_close(p.server);
  p.server = NET_INVALID;
  // The first send may still be accepted; a later one must fail, not kill us.
  char data[1024] = {};
  int rc = 0;
  for (int i = 0; i < 50 && rc >= 0; i++) {
    rc = net_send(p.client, data, sizeof data);
    if (rc >= 0) usleep(10000);
  }
  ASSERT_EQ(rc, -1);
  EXPECT_TRUE(net_lasterror() == NETERR_CONNRESET || net_lasterror() == NETERR_SHUTDOWN) << net_lasterror();
  net_cleanup();
}

TEST(NetBind, SecondListenerRefusedRestartAfterTimeWaitAllowed) {
  listener l;
  sockh second = net_socket();
  EXPECT_EQ(net_bind(second, 0, l.port), -1);   // any-address bind over a loopback listener
  EXPECT_EQ(net_lasterror(), NETERR_ADDRINUSE);
  EXPECT_EQ(net_bind(second, LOOPBACK, l.port), -1);
  EXPECT_EQ(net_lasterror(), NETERR_ADDRINUSE);
  net_close(second);

  // Leave a connection in TIME_WAIT on the port: the listening side closes first.
  uint16_t port = l.port;
  {
    connpair p;
    port = p.l.port;
    net_close(p.server);
    p.server = NET_INVALID;
    char c;
    EXPECT_EQ(net_recv(p.client, &c, 1), 0);
  }
  sockh again = net_socket();
  EXPECT_EQ(net_bind(again, LOOPBACK, port), 0) << net_lasterror();
  EXPECT_EQ(net_listen(again, 20), 0);
  net_close(again);
}

TEST(NetSelect, ConnectOutcomeInWriteOrExceptionSet) {
  // Success: write set only.
  listener l;
  sockh c = startconnect(l.port);
  sockset wr, ex;
  sockset_zero(&wr);
  sockset_zero(&ex);
  sockset_add(&wr, c);
  sockset_add(&ex, c);
  EXPECT_EQ(net_select(nullptr, &wr, &ex, 3000), 1);
  EXPECT_EQ(wr.count, 1u);
  EXPECT_EQ(ex.count, 0u);
  int err = -1;
  EXPECT_EQ(net_getsockerror(c, &err), 0);
  EXPECT_EQ(err, 0);
  net_close(c);

  // Refused: exception set only, and the pending error is still there to read.
  uint16_t closed = harness::free_port();
  c = startconnect(closed);
  sockset_zero(&wr);
  sockset_zero(&ex);
  sockset_add(&wr, c);
  sockset_add(&ex, c);
  EXPECT_EQ(net_select(nullptr, &wr, &ex, 3000), 1);
  EXPECT_EQ(wr.count, 0u);
  ASSERT_EQ(ex.count, 1u);
  EXPECT_EQ(ex.handles[0], c);
  EXPECT_EQ(net_getsockerror(c, &err), 0);
  EXPECT_EQ(err, NETERR_CONNREFUSED);
  net_close(c);
}

TEST(NetSelect, DataAndEndOfFileAreReadableCountsOverAllSets) {
  connpair p;
  sockset rd, wr;
  sockset_zero(&rd);
  sockset_zero(&wr);
  sockset_add(&rd, p.client);
  sockset_add(&rd, p.server);
  sockset_add(&wr, p.client);
  // Nothing to read yet: only the client's write side is ready.
  EXPECT_EQ(net_select(&rd, &wr, nullptr, 100), 1);
  EXPECT_EQ(rd.count, 0u);
  EXPECT_EQ(wr.count, 1u);

  ASSERT_EQ(net_send(p.server, "hello", 5), 5);
  sockset_zero(&rd);
  sockset_zero(&wr);
  sockset_add(&rd, p.server);
  sockset_add(&rd, p.client);
  sockset_add(&wr, p.client);
  // The client is both readable and writable: it counts once per set.
  EXPECT_EQ(net_select(&rd, &wr, nullptr, 3000), 2);
  ASSERT_EQ(rd.count, 1u);
  EXPECT_EQ(rd.handles[0], p.client);
  char buf[16];
  EXPECT_EQ(net_recv(p.client, buf, sizeof buf), 5);
  EXPECT_EQ(memcmp(buf, "hello", 5), 0);

  net_close(p.server);
  p.server = NET_INVALID;
  sockset_zero(&rd);
  sockset_add(&rd, p.client);
  EXPECT_EQ(net_select(&rd, nullptr, nullptr, 3000), 1);
  EXPECT_EQ(net_recv(p.client, buf, sizeof buf), 0);

  // A listening socket with a client waiting is readable.
  listener l;
  sockh c = startconnect(l.port);
  sockset_zero(&rd);
  sockset_add(&rd, l.h);
  EXPECT_EQ(net_select(&rd, nullptr, nullptr, 3000), 1);
  // In the exception set alone the same waiting listener is never reported:
  // the relay parks a listener there while accept() rests.
  sockset ex;
  sockset_zero(&ex);
  sockset_add(&ex, l.h);
  EXPECT_EQ(net_select(nullptr, nullptr, &ex, 100), 0);
  EXPECT_EQ(ex.count, 0u);
  sockh a = net_accept(l.h, nullptr, nullptr);
  EXPECT_NE(a, NET_INVALID);
  net_close(a);
  net_close(c);
}

TEST(NetSelect, TimesOutOnTimeAndSignalsDoNotEndTheWait) {
  connpair p;
  sockset rd;
  sockset_zero(&rd);
  sockset_add(&rd, p.client);
  uint64_t t0 = msnow();
  EXPECT_EQ(net_select(&rd, nullptr, nullptr, 200), 0);
  uint64_t took = msnow() - t0;
  EXPECT_GE(took, 195u);
  EXPECT_LT(took, 1500u);
  EXPECT_EQ(rd.count, 0u);

  // SIGALRM every 30 ms without SA_RESTART interrupts poll() repeatedly.
  struct sigaction sa, old;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = noop;
  sigemptyset(&sa.sa_mask);
  ASSERT_EQ(sigaction(SIGALRM, &sa, &old), 0);
  itimerval it = {{0, 30000}, {0, 30000}}, off = {};
  setitimer(ITIMER_REAL, &it, nullptr);
  sockset_add(&rd, p.client);
  t0 = msnow();
  int rc = net_select(&rd, nullptr, nullptr, 300);
  took = msnow() - t0;
  setitimer(ITIMER_REAL, &off, nullptr);
  sigaction(SIGALRM, &old, nullptr);
  EXPECT_EQ(rc, 0);
  EXPECT_GE(took, 295u);
  EXPECT_LT(took, 2000u);
}

TEST(NetSelect, NothingToWaitForOrAClosedHandleFailsAtOnce) {
  sockset rd, wr;
  sockset_zero(&rd);
  sockset_zero(&wr);
  uint64_t t0 = msnow();
  EXPECT_EQ(net_select(nullptr, nullptr, nullptr, 5000), -1);
  EXPECT_EQ(net_lasterror(), 10022);
  EXPECT_EQ(net_select(&rd, &wr, nullptr, 5000), -1);
  EXPECT_EQ(net_lasterror(), 10022);
  EXPECT_LT(msnow() - t0, 1000u);

  sockh h = net_socket();
  net_close(h);
  sockset_add(&rd, h);
  EXPECT_EQ(net_select(&rd, nullptr, nullptr, 5000), -1);
  EXPECT_EQ(net_lasterror(), NETERR_NOTSOCK);
  EXPECT_LT(msnow() - t0, 1000u);
}

TEST(NetLookup, NamesAddressesAndDottedForm) {
  uint32_t addr = 0;
  EXPECT_EQ(net_lookup("localhost", &addr), 0);
  EXPECT_EQ(addr, LOOPBACK);
  addr = 0;
  EXPECT_EQ(net_lookup("no-such-host.invalid", &addr), NETERR_HOST_NOT_FOUND);
  EXPECT_EQ(net_lasterror(), NETERR_HOST_NOT_FOUND);

  char out[16];
  net_ntoa(LOOPBACK, out);
  EXPECT_STREQ(out, "127.0.0.1");
  const uint8_t bytes[4] = {192, 168, 200, 255};   // first byte first, as in memory
  uint32_t a;
  memcpy(&a, bytes, 4);
  net_ntoa(a, out);
  EXPECT_STREQ(out, "192.168.200.255");
  net_ntoa(0, out);
  EXPECT_STREQ(out, "0.0.0.0");
}

TEST(NetAccept, InheritsNonBlockingModeFromTheListener) {
  // Blocking listener: blocking accepted socket.
  connpair p;
  EXPECT_EQ(fcntl(int(p.server), F_GETFL) & O_NONBLOCK, 0);

  // Non-blocking listener: a send() to a client that does not read must come
  // back with part of the data instead of stopping the caller.
  listener l;
  ASSERT_EQ(net_setnonblocking(l.h), 0);
  sockh c = net_socket();
  ASSERT_EQ(net_connect(c, LOOPBACK, l.port), 0);
  sockh a = NET_INVALID;
  for (int i = 0; i < 100 && a == NET_INVALID; i++) {
    a = net_accept(l.h, nullptr, nullptr);
    if (a == NET_INVALID) {
      EXPECT_EQ(net_lasterror(), NETERR_WOULDBLOCK);
      usleep(10000);
    }
  }
  ASSERT_NE(a, NET_INVALID);
  ASSERT_NE(fcntl(int(a), F_GETFL) & O_NONBLOCK, 0);
  std::vector<char> big(64 << 20);
  int n = net_send(a, big.data(), uint32_t(big.size()));
  EXPECT_GT(n, 0);
  EXPECT_LT(n, int(big.size()));
  // Once the buffers are full the next send would block: NETERR_WOULDBLOCK.
  int rc = 0;
  for (int i = 0; i < 1000 && rc >= 0; i++) rc = net_send(a, big.data(), 1 << 20);
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(net_lasterror(), NETERR_WOULDBLOCK);
  net_close(a);
  net_close(c);
}
