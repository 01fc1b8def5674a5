// Past the 40 connections of one relay: haproxy in front of three kevra
// instances, configured by the files of examples/scale-out/ with only their
// ports changed (and a global section of the test's own, where Debian's
// haproxy.cfg brings one). 100 connections at once, each with bytes of its
// own, must all echo byte-exact, and each of the three logs must show its
// share of them. Skipped where haproxy is not installed (CI installs it).
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <regex>
#include <sstream>

#include "support/harness.h"

namespace {

using namespace harness;

constexpr int CONNS = 100, INSTANCES = 3;
constexpr size_t BYTES = 32768;   // four reads of the relay's buffer each way

std::string haproxy_path() {   // where packages put it
  for (const char* path : {"/usr/sbin/haproxy", "/usr/local/sbin/haproxy", "/usr/bin/haproxy"})
    if (::access(path, X_OK) == 0) return path;
  return "";
}

// served(log): the connections of a log at -d=2 that carried bytes from their
// client (conn 1) before they closed. haproxy's health checks connect and
// close without a byte, and do not count.
int served(const std::string& log) {
  static const std::regex id(R"(^Id number for this connection is (\d+))"),
      read(R"(^(\d+): recv\(\): \d+ bytes read from conn 1,)"),
      closed(R"(^(\d+): Connection closed )");
  std::map<std::string, bool> open;
  int n = 0;
  std::stringstream in(log);
  std::smatch m;
  for (std::string line; std::getline(in, line);) {
    if (std::regex_search(line, m, id))
      open[m[1]] = false;
    else if (std::regex_search(line, m, read))
      open[m[1]] = true;
    else if (std::regex_search(line, m, closed))
      n += open[m[1]], open.erase(m[1]);
  }
  return n;
}

// The example with the test's ports: the frontend's "bind :<base>" and the
// servers' 127.0.0.1:<base+i> become loopback ports chosen now.
std::string config(const std::string& example, int base, uint16_t front,
                   const uint16_t (&ports)[INSTANCES]) {
  std::string text = slurp(std::string(KEVRA_SOURCE_DIR) + "/examples/scale-out/" + example);
  text = std::regex_replace(text, std::regex("bind :" + std::to_string(base) + "\\b"),
                            "bind 127.0.0.1:" + std::to_string(front));
  for (int i = 0; i < INSTANCES; i++)
    text = std::regex_replace(text,
                              std::regex("127\\.0\\.0\\.1:" + std::to_string(base + 1 + i) + "\\b"),
                              "127.0.0.1:" + std::to_string(ports[i]));
  return "global\n    maxconn 400\n    log stdout format raw local0\n\n" + text;
}

struct layout {
  const char* name;
  const char* example;   // in examples/scale-out/
  int base;              // its frontend's port; its servers' follow
  bool tunnel;           // serversides behind haproxy, three clientsides before it
};

void PrintTo(const layout& l, std::ostream* os) { *os << l.name; }

class ScaleOut : public ::testing::TestWithParam<layout> {};

TEST_P(ScaleOut, HundredConnectionsEchoAndEveryInstanceServes) {
  const layout& l = GetParam();
  std::string haproxy = haproxy_path();
  if (haproxy.empty())
    GTEST_SKIP()
        << "haproxy is not installed (apt-get install haproxy; CI installs it from .ci/packages)";

  // The instances behind haproxy, each in front of the one echo server.
  server echosrv(echo);
  uint16_t ports[INSTANCES], front = free_port();
  std::vector<proc> behind, before;
  std::string tunnelfile = file("serverside",
                                "TUNNEL OPTIONS ENCRTYPE RC4 MSGLENMULT 256\n"
                                "TUNNEL SERVERSIDE USERNAME branch-office SECRET 'scale-out "
                                "secret'\nFILTER ALLOW 127.0.0.1\nFILTER DENY ALL\n");
  for (uint16_t& port : ports) {
    port = free_port();
    std::vector<std::string> opts{"-d=2", "-b=127.0.0.1"};
    if (l.tunnel) opts.push_back("-f=" + tunnelfile);
    behind.push_back(relay(args(opts, port, echosrv.port)));
    ASSERT_TRUE(behind.back().running()) << behind.back().out;
  }
  proc balancer =
      spawn({haproxy, "-db", "-f", file("haproxy.cfg", config(l.example, l.base, front, ports))});
  ASSERT_GE(client(front).fd, 0) << (balancer.poll_output(), balancer.out);   // haproxy listens

  // The tunnel's clientsides, each taking a third of the clients.
  std::vector<uint16_t> entries{front};
  if (l.tunnel) {
    std::string clientfile =
        file("clientside",
             "TUNNEL OPTIONS ENCRTYPE RC4\n"
             "TUNNEL CLIENTSIDE USERNAME branch-office SECRET 'scale-out secret'\n");
    entries.clear();
    for (int i = 0; i < INSTANCES; i++) {
      entries.push_back(free_port());
      before.push_back(relay(args({"-b=127.0.0.1", "-f=" + clientfile}, entries.back(), front)));
      ASSERT_TRUE(before.back().running()) << before.back().out;
    }
  }

  // All open at once, then every one sends its own bytes and reads them back.
  std::vector<std::unique_ptr<client>> clients;
  std::vector<std::string> data;
  for (int i = 0; i < CONNS; i++) {
    clients.push_back(std::make_unique<client>(entries[size_t(i) % entries.size()]));
    data.push_back(random_bytes(BYTES, uint32_t(i)));
  }
  for (int i = 0; i < CONNS; i++)
    EXPECT_TRUE(send_all(clients[size_t(i)]->fd, data[size_t(i)].data(), BYTES))
        << "connection " << i;
  for (int i = 0; i < CONNS; i++) {
    std::string back(BYTES, '\0');
    bool ok = transfer(clients[size_t(i)]->fd, back.data(), BYTES, 60000, false) &&
              back == data[size_t(i)];
    EXPECT_TRUE(ok) << "connection " << i << " did not echo byte-exact";
  }
  clients.clear();

  // Every connection closed in some log, and the three shared them.
  int counts[INSTANCES] = {}, total = 0;
  for (int64_t deadline = now_ms() + 10000; left(deadline) > 0 && total < CONNS; usleep(50000)) {
    total = 0;
    for (int i = 0; i < INSTANCES; i++)
      behind[size_t(i)].poll_output(), total += counts[i] = served(behind[size_t(i)].out);
  }
  EXPECT_EQ(total, CONNS);
  for (int i = 0; i < INSTANCES; i++)
    EXPECT_GE(counts[i], CONNS / INSTANCES / 2)
        << "instance " << i << " served " << counts[i] << " of " << total;
  if (HasFailure()) {
    balancer.stop();
    ADD_FAILURE() << "haproxy:\n" << balancer.out.substr(0, 4000);
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, ScaleOut,
                         ::testing::Values(layout{"Relays", "haproxy-relay.cfg", 8000, false},
                                           layout{"Serversides", "haproxy-tunnel.cfg", 9000, true}),
                         [](const ::testing::TestParamInfo<layout>& row) {
                           return std::string(row.param.name);
                         });

}   // namespace
