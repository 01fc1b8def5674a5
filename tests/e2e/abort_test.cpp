// How the other side learns that a connection ended: an orderly end stays an
// orderly end, while a reset, a failed tunnel or a tunnel cut short reach the
// server or the client as a reset, never as a clean end of the data. The
// serverside end is the binary under test, the clientside end the peer build.
#include <gtest/gtest.h>

#include <future>

#include "support/harness.h"

namespace {

using namespace harness;

// ending(fd): how the peer of fd ended: "eof", "reset", or "none" in time.
std::string ending(int fd, int timeout_ms = 15000) {
  char buf[4096];
  for (int64_t deadline = now_ms() + timeout_ms; wait_fd(fd, POLLIN, left(deadline));) {
    ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n == 0) return "eof";
    if (n < 0 && errno == ECONNRESET) return "reset";
    if (n < 0 && errno != EAGAIN && errno != EINTR) return "error " + std::to_string(errno);
  }
  return "none";
}

// pump(a, b, cut): copy between a and b both ways; after cut bytes from a to
// b (-1: no limit) end the stream toward b with an orderly end, as a man in
// the middle who cuts it would. Until a side ends, 20 s at most; true when
// a's ended in a reset, which the caller passes on.
bool pump(int a, int b, long cut) {
  char buf[4096];
  long sent = 0;
  for (int64_t deadline = now_ms() + 20000; left(deadline) > 0;) {
    pollfd p[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
    if (::poll(p, 2, 100) <= 0) continue;
    if (p[1].revents) {
      ssize_t n = ::recv(b, buf, sizeof buf, 0);
      if (n <= 0 || !send_all(a, buf, size_t(n))) return false;
    }
    if (p[0].revents) {
      ssize_t n = ::recv(a, buf, sizeof buf, 0);
      if (n <= 0) return n < 0 && errno == ECONNRESET;
      if (cut >= 0 && sent + n > cut) n = cut - sent;   // what comes after the cut is dropped
      if (n > 0 && !send_all(b, buf, size_t(n))) return false;
      sent += n;
      if (sent == cut) ::shutdown(b, SHUT_WR);   // (again: no harm)
    }
  }
  return false;
}

struct row {
  const char* name;
  bool tunnel;
  const char* secret;   // the clientside's; the serverside's is "right"
  long cut;             // bytes the man in the middle lets through to the serverside; -1 all
  char client;          // after its 5 bytes the client closes ('c'), resets ('r') or waits ('w'):
                        // the server's ending counts; or it sends nothing and waits ('q'): its own
  const char* want;
  bool down = false;   // the server site refuses connections
};

const row kRows[] = {
    {"PlainClose", false, "", -1, 'c', "eof"},
    {"PlainReset", false, "", -1, 'r', "reset"},
    {"TunnelClose", true, "right", -1, 'c', "eof"},
    {"TunnelReset", true, "right", -1, 'r', "reset"},
    {"ServerDown", false, "", -1, 'q', "reset", true},
    {"WrongSecret", true, "wrong", -1, 'q', "reset"},
    {"CutInTheHandshake", true, "right", 128, 'w', "reset"},
    {"CutInsideARecord", true, "right", 256 + 20, 'w', "reset"},
    // A cut where a record ends looks like an orderly end: the tunnel cannot
    // tell the two apart (the manual says so).
    {"CutWhereARecordEnds", true, "right", 256, 'w', "eof"},
};

void PrintTo(const row& r, std::ostream* os) { *os << r.name; }

class Abort : public testing::TestWithParam<row> {};

TEST_P(Abort, OnlyAnOrderlyEndEndsTheOtherSideCleanly) {
  const row& r = GetParam();
  std::promise<std::string> seen;
  std::future<std::string> ended = seen.get_future();
  server backend([&](int fd, size_t n) {
    if (n == 0) seen.set_value(ending(fd));
  });
  uint16_t sport = free_port(), cport = free_port();
  std::string sopts =
      r.tunnel ? "-f=" + file("s", "TUNNEL SERVERSIDE USERNAME u SECRET right\n") : "-d";
  proc s = relay(args({sopts}, sport, r.down ? free_port() : backend.port));
  server middle([&](int fd, size_t) {
    client toserverside(sport);
    toserverside.close(pump(fd, toserverside.fd, r.cut));
  });
  proc c;
  if (r.tunnel)
    c = relay(args({"-f=" + file("c", std::string("TUNNEL CLIENTSIDE USERNAME u SECRET ") +
                                          r.secret + "\n")},
                   cport, middle.port),
              "", false, true);
  client cl(r.tunnel ? cport : sport);
  // (Bytes the relay has not read yet would turn any close into a reset.)
  if (r.client != 'q') {
    ASSERT_TRUE(send_all(cl.fd, "hello", 5)) << s.out;
  }
  if (r.client == 'c' || r.client == 'r') {
    usleep(200000);
    cl.close(r.client == 'r');
  }
  if (r.client == 'q') {
    EXPECT_EQ(ending(cl.fd), r.want) << c.out;
    return;
  }
  bool done = ended.wait_for(std::chrono::seconds(15)) == std::future_status::ready;
  EXPECT_EQ(done ? ended.get() : "none", r.want) << s.out << "\n----\n" << c.out;
}

INSTANTIATE_TEST_SUITE_P(Rows, Abort, testing::ValuesIn(kRows),
                         [](const testing::TestParamInfo<row>& i) { return i.param.name; });

}   // namespace
