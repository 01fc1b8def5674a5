// Plain relaying: data byte for byte at every buffer size, ends that close
// right after sending, the Server Table limit, peers that misbehave kept to
// their own connection, and the rest after a failed accept.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>

#include "support/harness.h"

namespace {

using namespace harness;

class Sizes : public testing::TestWithParam<uint32_t> {};

TEST_P(Sizes, ByteExactBothWays) {
  server srv(echo);
  uint16_t port = free_port();
  uint32_t buf = GetParam();
  proc p = relay(args({"-buf=" + std::to_string(buf)}, port, srv.port));
  for (size_t n : {size_t(1), size_t(buf), size_t(buf) + 1, size_t(20) << 20}) {
    client c(port);
    EXPECT_TRUE(echo_ok(c.fd, random_bytes(n, uint32_t(n)))) << n << " bytes";
  }
  EXPECT_EQ(p.count("rror") + p.count("****"), 0u) << p.out;
}

INSTANTIATE_TEST_SUITE_P(Buffers, Sizes, testing::Values(512u, 8192u, 200000u));

// A side that closes right after its last byte loses none of them.
TEST(Data, EndsThatSendThenCloseLoseNothing) {
  const std::string data = random_bytes(3u << 20, 9);
  std::atomic<size_t> got{0};
  server sink([&](int fd, size_t) {
    char b[65536];
    for (ssize_t n; (n = ::recv(fd, b, sizeof b, 0)) > 0;) got += size_t(n);
  });
  server oneshot([&](int fd, size_t) { send_all(fd, data.data(), data.size()); });
  uint16_t port = free_port(), port2 = free_port();
  proc p = relay(args({"-buf=512"}, port, sink.port));
  proc q = relay(args({"-1"}, port2, oneshot.port));
  {
    client c(port);
    ASSERT_TRUE(send_all(c.fd, data.data(), data.size()));
  }
  client c2(port2);
  bool eof = false;
  EXPECT_TRUE(recv_until_eof(c2.fd, 20000, &eof) == data);
  EXPECT_TRUE(eof);
  EXPECT_EQ(q.wait_exit(), 0) << q.out;
  EXPECT_TRUE(p.wait_for("1: ** Socket EOF on conn 1\n1: Connection closed", 20000)) << p.out;
  for (int i = 0; i < 200 && got < data.size(); i++) usleep(10000);
  EXPECT_EQ(got.load(), data.size());
}

// Forty connections fill the Server Table: clients beyond them are closed
// while the forty go on, and a freed slot takes the next client.
TEST(Conn, FortyAtMostAndFreedIdsReused) {
  server srv(echo);
  uint16_t port = free_port();
  proc p = relay(args({}, port, srv.port));
  std::vector<std::unique_ptr<client>> held;
  for (int i = 0; i < 42; i++) {
    held.push_back(std::make_unique<client>(port));
    EXPECT_TRUE(i < 40 ? echo_ok(held[i]->fd, "hello", 5000) : wait_closed(held[i]->fd, 3000)) << i;
  }
  EXPECT_EQ(p.count("** Error: Server Table is full. Connection rejected.\n"), 2u) << p.out;
  // Both sockets of every connection probe an idle peer: their keepalive
  // timer runs ("tr" 2 in /proc/net/tcp; nothing else runs it while idle).
  int probing = 0;
  for (int i = 0; i < 50 && probing != 80; i++, usleep(20000)) {
    std::ifstream tcp("/proc/net/tcp");
    probing = 0;
    for (std::string l; std::getline(tcp, l);) {
      unsigned local, remote, state, timer;
      if (sscanf(l.c_str(), "%*d: %*x:%x %*x:%x %x %*x:%*x %x", &local, &remote, &state, &timer) == 4 && state == 1)
        probing += timer == 2 && (local == port || remote == srv.port);
    }
  }
  EXPECT_EQ(probing, 80);
  held[6].reset();
  ASSERT_TRUE(p.wait_for("7: Connection closed"));
  client again(port);
  EXPECT_TRUE(echo_ok(again.fd, "back in", 5000));
  EXPECT_EQ(p.count("Id number for this connection is 7\n"), 2u);
  for (int i = 0; i < 40; i++) EXPECT_TRUE(i == 6 || echo_ok(held[i]->fd, "ok", 5000)) << i;
}

TEST(Fault, MisbehavingPeersAreConfined) {
  // Its first client never reads while the server floods it; the second
  // pushes toward a server that never reads; the third says nothing; the
  // fourth resets in mid-transfer.
  server srv([](int fd, size_t n) { n == 0 ? flood(fd, n) : n == 1 ? silent(fd, n) : echo(fd, n); });
  uint16_t port = free_port();
  proc p = relay(args({}, port, srv.port));
  client lazy(port), pusher(port), quiet(port), rst(port);
  send_all(pusher.fd, std::string(32 << 20, 'x').data(), 32 << 20, 300);
  std::string half = random_bytes(1 << 19, 5);
  send_all(rst.fd, half.data(), half.size(), 300);
  rst.close(true);
  EXPECT_TRUE(p.wait_for("4: Connection closed", 3000)) << p.out;
  client other(port);
  EXPECT_TRUE(echo_ok(other.fd, random_bytes(100000, 3), 3000)) << p.out;
  EXPECT_TRUE(echo_ok(quiet.fd, "late words", 3000));
  EXPECT_TRUE(p.running());
}

TEST(Fault, FailingAcceptRestsASecond) {
  // 14 descriptors: stdio, the listener and five connections of two each;
  // the sixth accept() fails for want of one.
  server srv(echo);
  uint16_t port = free_port();
  proc p = relay(args({}, port, srv.port), "ulimit -n 14; exec \"$@\"");
  std::vector<std::unique_ptr<client>> cs;
  for (int i = 0; i < 7; i++) cs.push_back(std::make_unique<client>(port));
  ASSERT_TRUE(p.wait_for("** accept() error 10024", 3000)) << p.out;
  usleep(2500000);
  // Once a second at most, and the open connections go on.
  EXPECT_GE(p.count("** accept() error"), 2u);
  EXPECT_LE(p.count("** accept() error"), 5u) << p.out;
  for (int i = 0; i < 5; i++) EXPECT_TRUE(echo_ok(cs[i]->fd, "x", 2000)) << i;
  // Closed connections free descriptors: the two waiting clients get in.
  cs.erase(cs.begin(), cs.begin() + 3);
  EXPECT_TRUE(echo_ok(cs[3]->fd, "y", 3000)) << p.out;
  EXPECT_TRUE(echo_ok(cs[2]->fd, "z", 3000)) << p.out;
}

}  // namespace
