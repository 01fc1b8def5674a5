// The relay as a careless service manager starts it, and as a chain of three
// instances with different record rules runs it.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <thread>

#include <gtest/gtest.h>

#include "support/harness.h"

namespace {

enum stdstreams { CLOSED, BROKENPIPE };

// launch(args, how): the relay with stdin and stdout closed, or with stdout a
// pipe whose reader is gone; stderr goes to the null device.
harness::proc launch(const std::vector<std::string>& args, stdstreams how) {
  std::vector<std::string> all{getenv("KEVRA_BIN") && *getenv("KEVRA_BIN") ? getenv("KEVRA_BIN") : KEVRA_BIN};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  int p[2];
  EXPECT_EQ(pipe(p), 0);
  close(p[0]);   // no reader, from the start
  harness::proc pr;
  pr.pid = fork();
  if (pr.pid == 0) {
    int nul = open("/dev/null", O_RDWR);
    dup2(nul, 2);
    if (how == CLOSED)
      close(0), close(1);
    else
      dup2(nul, 0), dup2(p[1], 1);
    close_range(3, ~0u, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(p[1]);
  return pr;
}

}  // namespace

// No log line may reach a client's connection, and a broken log pipe must
// not end the relay.
TEST(Harden, CarelessStandardStreams) {
  for (stdstreams how : {CLOSED, BROKENPIPE}) {
    harness::server echo(harness::echo);
    uint16_t port = harness::free_port();
    harness::proc pr = launch({std::to_string(port), "127.0.0.1", std::to_string(echo.port)}, how);
    harness::client a(port);
    ASSERT_GE(a.fd, 0) << how;
    EXPECT_TRUE(harness::echo_ok(a.fd, "ping")) << how;
    EXPECT_EQ(harness::recv_until_eof(a.fd, 300), "") << how;   // and not one byte more
    EXPECT_TRUE(pr.running()) << how << " ended with " << pr.code;
    pr.stop();
    EXPECT_EQ(pr.code, 128 + SIGTERM) << how;
  }
}

// Both sockets of a relayed connection probe an idle peer.
TEST(Harden, KeepAliveOnBothSocketsOfAConnection) {
  harness::server echo(harness::echo);
  uint16_t port = harness::free_port();
  harness::proc r = harness::relay(harness::args({}, port, echo.port));
  harness::client c(port);
  ASSERT_TRUE(harness::echo_ok(c.fd, "x"));
  int pidfd = int(syscall(SYS_pidfd_open, r.pid, 0));
  if (pidfd < 0) GTEST_SKIP() << "pidfd_open is not available: cannot look at the relay's sockets";
  int conns = 0, probing = 0;
  DIR* d = opendir(("/proc/" + std::to_string(r.pid) + "/fd").c_str());
  ASSERT_NE(d, nullptr);
  while (dirent* e = readdir(d)) {
    int fd = int(syscall(SYS_pidfd_getfd, pidfd, atoi(e->d_name), 0)), on[2] = {1, 0};
    socklen_t len = sizeof(int);
    if (fd >= 0 && getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &on[0], &len) == 0 && !on[0]) {
      conns++;   // a connection's socket, not the listening one
      probing += getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on[1], &len) == 0 && on[1];
    }
    if (fd >= 0) close(fd);
  }
  closedir(d);
  close(pidfd);
  if (conns == 0) GTEST_SKIP() << "pidfd_getfd refused: cannot look at the relay's sockets";
  EXPECT_EQ(conns, 2);
  EXPECT_EQ(probing, 2);
}

// A middle instance receives records padded to 16 and re-pads to 256: a full
// record's payload does not fit one of its own records, and goes on as two.
TEST(Harden, MiddleInstanceDeliversWhatItCannotPadInOneRecord) {
  harness::server echo(harness::echo);
  const std::string opt = "TUNNEL OPTIONS ENCRTYPE DES3";
  std::string fs = harness::file("s", opt + "\nTUNNEL SERVERSIDE USERNAME m SECRET q\n");
  std::string fm = harness::file("m", opt + "\nTUNNEL SERVERSIDE USERNAME c SECRET p\n"
                                        "TUNNEL CLIENTSIDE USERNAME m SECRET q\n");
  std::string fc = harness::file("c", opt + " MSGLENMULT 16\nTUNNEL CLIENTSIDE USERNAME c SECRET p\n");
  uint16_t ps = harness::free_port(), pm = harness::free_port(), pc = harness::free_port();
  harness::proc s = harness::relay(harness::args({"-buf=100000", "-f=" + fs}, ps, echo.port));
  harness::proc m = harness::relay(harness::args({"-buf=100000", "-f=" + fm}, pm, ps));
  harness::proc c = harness::relay(harness::args({"-buf=100000", "-f=" + fc}, pc, pm));

  std::string data = harness::random_bytes(300000, 12), back(data.size(), '\0');
  harness::client cl(pc);
  ASSERT_GE(cl.fd, 0);
  std::thread w([&] { harness::send_all(cl.fd, data.data(), data.size(), 60000); });
  bool got = harness::transfer(cl.fd, back.data(), back.size(), 60000, false);
  w.join();
  EXPECT_TRUE(got && back == data);
  for (harness::proc* p : {&s, &m, &c}) {
    EXPECT_EQ(p->count("** "), 0u) << p->out;
  }
}
