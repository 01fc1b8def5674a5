// Plain relaying: data byte for byte at every buffer size, answers on one
// connection that go out at once, and keepalive on both sockets.
#include <gtest/gtest.h>

#include "support/harness.h"

namespace {

using namespace harness;

class Sizes : public testing::TestWithParam<uint32_t> {};

// At -d: the sends and reads the relay tries before select() has reported
// the socket ready often find nothing to do, and must say nothing about it;
// a would-block note is for a socket select() reported ready.
TEST_P(Sizes, ByteExactBothWays) {
  server srv(echo);
  uint16_t port = free_port();
  uint32_t buf = GetParam();
  proc p = relay(args({"-d", "-buf=" + std::to_string(buf)}, port, srv.port));
  for (size_t n : {size_t(1), size_t(buf), size_t(buf) + 1, size_t(20) << 20}) {
    client c(port);
    EXPECT_TRUE(echo_ok(c.fd, random_bytes(n, uint32_t(n)))) << n << " bytes";
  }
  EXPECT_EQ(p.count("rror") + p.count("****") + p.count("WOULDBLOCK"), 0u) << p.out.substr(0, 2000);
}

INSTANTIATE_TEST_SUITE_P(Buffers, Sizes, testing::Values(512u, 8192u, 200000u));

// Requests and answers on one connection, as a web or database client makes
// them. An answer longer than the buffer goes on in two sends, and a relay
// that let the system hold the short second one back for the peer's delayed
// acknowledgement (40 ms or more each time) would take seconds for these 50.
// An answer that fills a read exactly (or a record: 8112 is 8192 less a
// record's 80 bytes of header and check sum) is sent with more to follow,
// and nothing follows: it must still go out.
struct answers {
  size_t size;
  bool tunnel;   // through a clientside and a serverside instance
};
void PrintTo(const answers& a, std::ostream* os) {
  *os << a.size << (a.tunnel ? " tunnel" : " plain");
}

class Answers : public testing::TestWithParam<answers> {};

TEST_P(Answers, OnOneConnectionAreNotHeldBack) {
  const std::string answer = random_bytes(GetParam().size, 4);
  server srv([&](int fd, size_t) {
    char req[100];
    while (transfer(fd, req, sizeof req, 5000, false) &&
           send_all(fd, answer.data(), answer.size())) {
    }
  });
  uint16_t port = free_port();
  std::vector<proc> relays;
  if (GetParam().tunnel) {
    uint16_t sport = free_port();
    relays.push_back(relay(
        args({"-f=" + file("s", "TUNNEL SERVERSIDE USERNAME u SECRET p\n")}, sport, srv.port)));
    relays.push_back(
        relay(args({"-f=" + file("c", "TUNNEL CLIENTSIDE USERNAME u SECRET p\n")}, port, sport)));
  } else {
    relays.push_back(relay(args({}, port, srv.port)));
  }
  client c(port);
  std::string req(100, 'q');
  std::string back(answer.size(), '\0');
  int64_t start = now_ms();
  int rounds = 0;
  while (rounds < 50 && send_all(c.fd, req.data(), req.size(), 5000) &&
         transfer(c.fd, back.data(), back.size(), 5000, false) && back == answer)
    rounds++;
  EXPECT_EQ(rounds, 50);
  EXPECT_LT(now_ms() - start, 1000) << "50 rounds";
}
INSTANTIATE_TEST_SUITE_P(Sizes, Answers,
                         testing::Values(answers{8192, false}, answers{10240, false},
                                         answers{3 * 8192, false}, answers{8112, true},
                                         answers{3 * 8112, true}));

// timer(port, local): the kind of timer running on the established IPv4 TCP
// socket with that local (or remote) port: the "tr" column of /proc/net/tcp,
// 2 for the keepalive timer; -1 for no such socket.
int timer(uint16_t port, bool local) {
  FILE* f = fopen("/proc/net/tcp", "r");
  char line[512];
  unsigned l, r, state, tr;
  int found = -1;
  while (f != nullptr && found < 0 && fgets(line, sizeof line, f) != nullptr)
    if (sscanf(line, "%*d: %*8x:%x %*8x:%x %x %*x:%*x %x", &l, &r, &state, &tr) == 4 &&
        state == 1 && (local ? l : r) == port)
      found = int(tr);
  if (f != nullptr) fclose(f);
  return found;
}

// Both sockets of a connection let the system probe an idle peer, so that a
// peer that vanished without a word does not hold its connection forever.
TEST(Data, BothSocketsOfAConnectionAreKeptAlive) {
  server srv(echo);
  uint16_t port = free_port();
  proc p = relay(args({}, port, srv.port));
  client c(port);
  ASSERT_TRUE(echo_ok(c.fd, "hello", 5000)) << p.out;
  // The relay's sockets: the one it accepted (local port: its own), the one
  // it connected (remote port: the server's).
  EXPECT_EQ(timer(port, true), 2) << "no keepalive on the socket to the client";
  EXPECT_EQ(timer(srv.port, false), 2) << "no keepalive on the socket to the server";
}

}   // namespace
