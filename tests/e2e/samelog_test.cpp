// One scripted session at -d (start-up, a client the filter refuses, a
// relayed connection, a connect that fails) logs the same lines from the
// binary under test and from the peer build (KEVRA_PEER_BIN: another
// system's build), apart from time stamps, socket numbers and ports.
#include <gtest/gtest.h>

#include <memory>
#include <regex>

#include "support/harness.h"

namespace {

using namespace harness;

std::string session(bool peer) {
  auto srv = std::make_unique<server>(echo);
  uint16_t port = free_port(), site = srv->port;
  proc p = relay(
      args({"-d", "-f=" + file("filter", "FILTER ALLOW 127.0.0.1\nFILTER DENY ALL\n")}, port, site),
      "", false, peer);
  {
    client refused(port, "127.0.0.2");
    EXPECT_TRUE(wait_closed(refused.fd)) << "the refused client stays open";
    EXPECT_TRUE(p.wait_for("refused by IP address filter")) << p.out;
  }
  {
    client relayed(port);
    EXPECT_TRUE(echo_ok(relayed.fd, "hello through the relay\n", 10000)) << p.out;
  }
  EXPECT_TRUE(p.wait_for("Connection closed")) << p.out;
  srv.reset();   // the server is gone: the next connect fails
  client failed(port);
  EXPECT_TRUE(wait_closed(failed.fd)) << "the client of a failed connect stays open";
  EXPECT_TRUE(p.wait_for("(WSAECONNREFUSED")) << p.out;
  p.stop();
  const std::pair<std::string, std::string> varying[] = {
      {R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d)", "<time>"},
      {R"((socn\d=)\d+)", "$1<n>"},
      {R"(remoteport=\d+)", "remoteport=<port>"},
      {"\\b" + std::to_string(port) + "\\b", "<listenport>"},
      {"\\b" + std::to_string(site) + "\\b", "<serverport>"}};
  for (const auto& [pattern, with] : varying)
    p.out = std::regex_replace(p.out, std::regex(pattern), with);
  return p.out;
}

TEST(SameLog, BothBuildsLogOneSessionAlike) {
  std::string ours = session(false), peers = session(true);
  EXPECT_EQ(ours, peers);
  EXPECT_GT(std::count(ours.begin(), ours.end(), '\n'), 20);
  EXPECT_NE(ours.find("1: Connection closed <time>.\n"), std::string::npos)
      << "a time stamp as yyyy/mm/dd hh:mm:ss";
}

}   // namespace
