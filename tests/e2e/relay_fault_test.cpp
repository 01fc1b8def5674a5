// Misbehaving peers stay confined to their own connection.
#include <poll.h>

#include <atomic>
#include <memory>
#include <thread>

#include "e2e/relay_util.h"

namespace {

// A loopback server whose n-th client gets the n-th behaviour (the last one
// repeats): echo, accept and never read, or send without end.
class scripted_server {
 public:
  enum kind { echo, silent, flood };
  explicit scripted_server(std::vector<kind> script) : kinds(std::move(script)) {
    lfd = e2e::listen_loopback(&port, 64);
    acceptor = std::thread([this] { run(); });
  }
  ~scripted_server() {
    stopping = true;
    acceptor.join();
    for (auto& t : workers) t.join();
    ::close(lfd);
  }
  uint16_t port = 0;

 private:
  void run() {
    size_t n = 0;
    while (!stopping) {
      pollfd p{lfd, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      int fd = ::accept(lfd, nullptr, nullptr);
      if (fd < 0) continue;
      kind k = kinds[n < kinds.size() ? n : kinds.size() - 1];
      n++;
      workers.emplace_back([this, fd, k] { serve(fd, k); });
    }
  }
  void serve(int fd, kind k) {
    char buf[16384] = {};
    while (!stopping) {
      short ev = k == echo ? POLLIN : k == flood ? POLLOUT : 0;
      pollfd p{fd, ev, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      ssize_t r = 0;
      if (k == echo) {
        r = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (r > 0 && !harness::send_all(fd, buf, size_t(r), 200)) r = 0;
      } else if (k == flood) {
        r = ::send(fd, buf, sizeof buf, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (r < 0 && errno == EAGAIN) r = 1;
      } else {
        r = (p.revents & (POLLHUP | POLLERR)) ? 0 : 1;
      }
      if (r == 0 || (r < 0 && errno != EAGAIN)) break;
    }
    ::close(fd);
  }
  std::vector<kind> kinds;
  int lfd = -1;
  std::atomic<bool> stopping{false};
  std::thread acceptor;
  std::vector<std::thread> workers;
};

// Push bytes at a socket without reading from it, until told to stop.
struct pusher {
  std::atomic<bool> stop{false};
  std::atomic<size_t> sent{0};
  std::thread t;
  explicit pusher(int fd) {
    t = std::thread([this, fd] {
      char buf[16384] = {};
      while (!stop) {
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, 20) <= 0) continue;
        ssize_t n = ::send(fd, buf, sizeof buf, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) sent += size_t(n);
        if (n < 0 && errno != EAGAIN) break;
      }
    });
  }
  ~pusher() {
    stop = true;
    t.join();
  }
};

TEST(Fault, ClientThatNeverReadsDoesNotStallOthers) {
  // The server floods the first client, which reads nothing.
  scripted_server srv({scripted_server::flood, scripted_server::echo});
  uint16_t port = harness::free_port();
  auto p = e2e::relay(port, srv.port, {"-buf=200000"});
  e2e::client lazy(port);
  ASSERT_GE(lazy.fd, 0);
  usleep(300000);   // let the relay's send toward it fill up
  e2e::client other(port);
  ASSERT_GE(other.fd, 0);
  EXPECT_TRUE(e2e::echo_ok(other.fd, harness::random_bytes(100000, 3), 3000)) << p.out;
}

TEST(Fault, ServerThatNeverReadsDoesNotStallOthers) {
  scripted_server srv({scripted_server::silent, scripted_server::echo});
  uint16_t port = harness::free_port();
  auto p = e2e::relay(port, srv.port);
  e2e::client stuck(port);
  ASSERT_GE(stuck.fd, 0);
  pusher push(stuck.fd);
  usleep(300000);
  e2e::client other(port);
  EXPECT_TRUE(e2e::echo_ok(other.fd, "through", 3000)) << p.out;
  EXPECT_GT(push.sent.load(), 0u);
}

TEST(Fault, SilentClientAndMidTransferResetAreConfined) {
  harness::server echo(harness::server::echo);
  uint16_t port = harness::free_port();
  auto p = e2e::relay(port, echo.port);
  e2e::client quiet(port);   // connects and sends nothing
  ASSERT_GE(quiet.fd, 0);
  {
    e2e::client rst(port);
    std::string data = harness::random_bytes(1u << 20, 5);
    harness::send_all(rst.fd, data.data(), data.size() / 2, 2000);
    linger l{1, 0};
    ::setsockopt(rst.fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  }
  EXPECT_TRUE(p.wait_for("2: Connection closed", 3000)) << p.out;
  e2e::client other(port);
  EXPECT_TRUE(e2e::echo_ok(other.fd, "still serving"));
  EXPECT_TRUE(e2e::echo_ok(quiet.fd, "late words"));
  EXPECT_TRUE(p.running());
}

// Forty connections fill the Server Table; every client beyond them is
// rejected and closed while the forty go on.
TEST(Fault, FloodOfConnectsBeyondForty) {
  harness::server echo(harness::server::echo);
  uint16_t port = harness::free_port();
  auto p = e2e::relay(port, echo.port);
  std::vector<std::unique_ptr<e2e::client>> held, extra;
  for (int i = 0; i < 40; i++) {
    held.push_back(std::make_unique<e2e::client>(port));
    ASSERT_TRUE(e2e::echo_ok(held.back()->fd, "hello")) << i;
  }
  ASSERT_TRUE(p.wait_for("Id number for this connection is 40\n"));
  for (int i = 0; i < 25; i++) extra.push_back(std::make_unique<e2e::client>(port));
  for (auto& c : extra) EXPECT_TRUE(harness::wait_closed(c->fd, 3000));
  for (int i = 0; i < 200 && e2e::count(p.out, "Server Table is full") < 25; i++) p.wait_for("\x01", 10);
  EXPECT_EQ(e2e::count(p.out, "** Error: Server Table is full. Connection rejected.\n"), 25u);
  for (size_t i = 0; i < held.size(); i++) EXPECT_TRUE(e2e::echo_ok(held[i]->fd, "ok")) << i;

  // Freed slots take new clients again.
  held.pop_back();
  ASSERT_TRUE(p.wait_for("40: Connection closed"));
  e2e::client again(port);
  EXPECT_TRUE(e2e::echo_ok(again.fd, "back in"));
}

TEST(Fault, FailingAcceptRetriesCalmly) {
  // With 14 descriptors (stdio, the listener, five connections of two) the
  // sixth accept() fails for want of a descriptor.
  harness::server echo(harness::server::echo);
  uint16_t port = harness::free_port();
  std::string cmd = "ulimit -n 14 && exec " + harness::kevra_path() + " " + std::to_string(port) +
                    " 127.0.0.1 " + std::to_string(echo.port);
  auto p = harness::spawn({"/bin/sh", "-c", cmd});
  ASSERT_TRUE(p.wait_for("Listening for connections on port", 5000)) << p.out;
  std::vector<std::unique_ptr<e2e::client>> cs;
  for (int i = 0; i < 6; i++) cs.push_back(std::make_unique<e2e::client>(port));
  ASSERT_TRUE(p.wait_for("accept() error", 3000)) << p.out;
  usleep(2500000);
  p.poll_output();
  // Once a second at most, and the open connections go on.
  size_t fails = e2e::count(p.out, "** accept() error");
  EXPECT_GE(fails, 2u);
  EXPECT_LE(fails, 5u) << p.out;
  size_t served = 0;
  for (auto& c : cs)
    if (e2e::echo_ok(c->fd, "x", 500)) served++;
  EXPECT_GE(served, 1u);
  // Closing connections frees descriptors: the waiting clients get in.
  size_t before = e2e::count(p.out, "Id number for this connection is");
  size_t waiting = cs.size() - before;
  ASSERT_GE(waiting, 1u) << p.out;
  cs.erase(cs.begin(), cs.begin() + 3);
  for (int i = 0; i < 40 && e2e::count(p.out, "Id number for this connection is") < before + waiting;
       i++)
    p.wait_for("\x01", 100);
  EXPECT_EQ(e2e::count(p.out, "Id number for this connection is"), before + waiting) << p.out;
}

// The relay's clock runs 1000 times faster: 20 minutes pass in 1.2 seconds.
const char* const kFakeTime = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1";
std::vector<std::string> fastclock() {
  return {std::string("LD_PRELOAD=") + kFakeTime, "FAKETIME=+0 x1000",
          "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0"};
}

TEST(Inactivity, StuckWriteTimesOutIdleReadersDoNot) {
  if (::access(kFakeTime, R_OK) != 0) GTEST_SKIP() << "libfaketime is not installed";
  scripted_server srv({scripted_server::silent, scripted_server::echo});
  uint16_t port = harness::free_port();
  auto p = e2e::relay(port, srv.port, {}, fastclock());
  e2e::client stuck(port);
  ASSERT_GE(stuck.fd, 0);
  pusher push(stuck.fd);   // its data waits for a server that never reads
  e2e::client idle(port);
  ASSERT_TRUE(e2e::echo_ok(idle.fd, "before"));
  EXPECT_TRUE(p.wait_for("1: ** Inactivity timeout for conn 1. Closing both sockets ", 10000))
      << p.out;
  EXPECT_TRUE(harness::wait_closed(stuck.fd, 3000));
  // The idle connection waited to read all along: it is still there.
  usleep(1500000);
  EXPECT_TRUE(e2e::echo_ok(idle.fd, "after"));
  EXPECT_EQ(p.out.find("2: ** Inactivity"), std::string::npos) << p.out;
}

TEST(Inactivity, AcceptOneEndsWithNine) {
  if (::access(kFakeTime, R_OK) != 0) GTEST_SKIP() << "libfaketime is not installed";
  scripted_server srv({scripted_server::silent});
  uint16_t port = harness::free_port();
  auto p = e2e::relay(port, srv.port, {"-1", "-d"}, fastclock());
  e2e::client stuck(port);
  pusher push(stuck.fd);
  EXPECT_EQ(p.wait_exit(10000), 9) << p.out;
  EXPECT_NE(p.out.find("1: ** Inactivity timeout for conn 1. Closing both sockets "),
            std::string::npos);
  EXPECT_NE(p.out.find("kevra terminated with exit code 9\n"), std::string::npos);
}

}  // namespace
