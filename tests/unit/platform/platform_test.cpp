// The platform layer through its own interface only: the state folder,
// socket sets, Winsock's select() semantics, bind and the named lock.

#include "platform/lock.h"
#include "platform/statedir.h"
#include "unit/unitutil.h"

using namespace ut;

namespace {

// sel(rd, wr, ex, ms): net_select over the listed handles (an empty list is
// no set); its result and what stays in each set.
struct ready {
  int rc;
  sockset s[3];
};
ready sel(std::initializer_list<sockh> rd, std::initializer_list<sockh> wr,
          std::initializer_list<sockh> ex, uint32_t ms) {
  ready r{};
  for (int i = 0; i < 3; i++)
    for (sockh h : i == 0 ? rd : i == 1 ? wr : ex) sockset_add(&r.s[i], h);
  r.rc = net_select(rd.size() ? &r.s[0] : nullptr, wr.size() ? &r.s[1] : nullptr,
                    ex.size() ? &r.s[2] : nullptr, ms);
  return r;
}

// A listener, a client connected to it and the accepted socket.
struct conn {
  uint16_t port = 0;
  sockh l = listener(&port), c = net_socket(), a = NET_INVALID;
  conn() {
    uint32_t addr = 0;
    uint16_t peerport = 0;
    EXPECT_EQ(net_connect(c, LOOPBACK, port), 0);
    a = net_accept(l, &addr, &peerport);
    EXPECT_NE(a, NET_INVALID);
    EXPECT_EQ(addr, LOOPBACK);
    EXPECT_NE(peerport, 0);
  }
  ~conn() {
    net_close(a);
    net_close(c);
    net_close(l);
  }
};

}   // namespace

TEST(Platform, StateFolderSocketSetsAndLock) {
  char p[STATEPATHMAX];
  std::string dir(STATEPATHMAX - 6, 'd');   // room for a separator, four characters and the end
  state_usedir(dir.c_str());
  ASSERT_TRUE(state_path("abcd", p));
  const std::string got = p;
  EXPECT_EQ(got.substr(0, dir.size()), dir);
  EXPECT_EQ(got.substr(std::min(got.size(), dir.size() + 1)), "abcd");
  EXPECT_FALSE(state_path("abcde", p));
  EXPECT_STREQ(p, "");
  state_usedir(testdir().c_str());
  EXPECT_EQ(netgranted, 0x0202) << "Winsock 2.2";

  sockset s{};
  for (sockh h : {7u, 7u}) sockset_add(&s, h);
  for (sockh h = 100; h < 300; h++) sockset_add(&s, h);
  sockset_remove(&s, 100);
  sockset_remove(&s, 99999);
  EXPECT_EQ(s.count, FDSETMAX - 1);   // no duplicate, no overflow, one removed
  EXPECT_EQ(s.handles[0], 7u);
  EXPECT_EQ(s.handles[1], 101u);
  EXPECT_EQ(s.handles[FDSETMAX - 2], 100 + FDSETMAX - 2);

  // A held lock shuts out every other take for its whole wait, one of the
  // same thread too (a Windows mutex alone would let its owner in again).
  lockh first, second;
  ASSERT_EQ(lock_take("kevra-unit", 0, &first), LOCK_OBTAINED);
  uint64_t t0 = ms();
  EXPECT_EQ(lock_take("kevra-unit", 150, &second), LOCK_TIMEDOUT);
  uint64_t waited = ms() - t0;
  EXPECT_GE(waited, 150u);
  EXPECT_LT(waited, 1500u);
  lock_release(first);
  EXPECT_EQ(lock_take("kevra-unit", 0, &second), LOCK_OBTAINED);
  lock_release(second);
}

TEST(NetSelect, PendingConnectEndsInTheWriteSetOrOnlyInTheExceptionSet) {
  uint16_t open = 0, closed = 0;
  sockh l = listener(&open), shut = listener(&closed, 0);   // bound, not listening: refuses
  for (uint16_t port : {open, closed}) {
    sockh c = net_socket();
    int err = -1, rc = net_setnonblocking(c) ? -2 : net_connect(c, LOOPBACK, port);
    if (rc != 0) {
      EXPECT_EQ(net_lasterror(), NETERR_WOULDBLOCK) << rc;
    }
    ready r = sel({}, {c}, {c}, 3000);
    EXPECT_EQ(r.rc, 1) << port;
    EXPECT_EQ(r.s[1].count, uint32_t(port == open)) << port << ": in the write set";
    EXPECT_EQ(r.s[2].count, uint32_t(port != open)) << port << ": in the exception set";
    EXPECT_EQ(net_getsockerror(c, &err), 0);
    EXPECT_EQ(err, port == open ? 0 : NETERR_CONNREFUSED);
    net_close(c);
  }
  net_close(l);
  net_close(shut);
}

TEST(NetSelect, ReadinessCountedPerSetTimeOutsAndFailures) {
  conn p;
  char buf[16];
  ready r = sel({p.c, p.a}, {p.c}, {}, 200);
  EXPECT_EQ(r.rc, 1);
  EXPECT_EQ(r.s[0].count, 0u);
  EXPECT_EQ(r.s[1].count, 1u);
  ASSERT_EQ(net_send(p.a, "hello", 5), 5);
  r = sel({p.a, p.c}, {p.c}, {}, 3000);
  EXPECT_EQ(r.rc, 2);   // readable and writable: counted twice
  EXPECT_EQ(r.s[0].count, 1u);
  EXPECT_EQ(r.s[0].handles[0], p.c);
  EXPECT_EQ(net_recv(p.c, buf, sizeof buf), 5);
  net_close(p.a);
  p.a = net_socket();
  EXPECT_EQ(sel({p.c}, {}, {}, 3000).rc, 1) << "the end of the stream is readable";
  EXPECT_EQ(net_recv(p.c, buf, sizeof buf), 0);
  EXPECT_EQ(net_recv(p.a, buf, sizeof buf), -1);
  EXPECT_EQ(net_lasterror(), NETERR_NOTCONN);
  // A client waits at the listener: readable, but never reported from the
  // exception set, where the relay parks a listener while accept() rests.
  sockh c = net_socket();
  ASSERT_EQ(net_connect(c, LOOPBACK, p.port), 0);
  uint64_t t0 = ms();
  r = sel({}, {}, {p.l}, 200);
  uint64_t waited = ms() - t0;
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.s[2].count, 0u);
  EXPECT_GE(waited, 195u);
  EXPECT_LT(waited, 1500u);
  EXPECT_EQ(sel({p.l}, {}, {}, 3000).rc, 1);
  net_close(c);
  t0 = ms();
  EXPECT_EQ(sel({}, {}, {}, 5000).rc, -1) << "nothing to wait for";
  EXPECT_EQ(net_lasterror(), 10022) << "WSAEINVAL";
  EXPECT_EQ(sel({c}, {}, {}, 5000).rc, -1) << "a closed handle";
  EXPECT_EQ(net_lasterror(), NETERR_NOTSOCK);
  EXPECT_LT(ms() - t0, 1000u);
}

TEST(NetBind, SecondListenerRefusedRestartAfterTimeWaitAllowed) {
  uint16_t port = 0;
  {
    conn p;
    port = p.port;
    for (uint32_t addr : {0u, LOOPBACK}) {
      sockh second = net_socket();
      EXPECT_EQ(net_bind(second, addr, port), -1) << addr;
      EXPECT_EQ(net_lasterror(), NETERR_ADDRINUSE) << addr;
      net_close(second);
    }
    // The listening side closes first: its end of the connection lingers in TIME_WAIT.
    char c;
    net_close(p.a);
    p.a = net_socket();
    EXPECT_EQ(net_recv(p.c, &c, 1), 0);
  }
  sockh again = net_socket();
  EXPECT_EQ(net_bind(again, LOOPBACK, port), 0) << net_lasterror();
  EXPECT_EQ(net_listen(again, 5), 0) << net_lasterror();
  net_close(again);
}
