// Shared steps of the relay's end-to-end tests.
#pragma once
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/harness.h"

namespace e2e {

// start(args, env): the relay, once it says it is listening.
inline harness::proc start(const std::vector<std::string>& args,
                           const std::vector<std::string>& env = {}) {
  harness::proc p = harness::spawn_kevra(args, false, env);
  EXPECT_TRUE(p.wait_for("Listening for connections on port", 5000)) << p.out;
  return p;
}

// relay(site port, options): a relay on a free port toward 127.0.0.1:siteport.
inline harness::proc relay(uint16_t listen, uint16_t siteport, std::vector<std::string> opts = {},
                           const std::vector<std::string>& env = {}) {
  opts.push_back(std::to_string(listen));
  opts.push_back("127.0.0.1");
  opts.push_back(std::to_string(siteport));
  return start(opts, env);
}

// echo_ok(fd, data): data goes through and comes back unchanged.
inline bool echo_ok(int fd, const std::string& data, int timeout_ms = 5000) {
  std::string back(data.size(), '\0');
  return harness::send_all(fd, data.data(), data.size(), timeout_ms) &&
         harness::recv_exact(fd, back.data(), back.size(), timeout_ms) && back == data;
}

// count(hay, needle): how often needle occurs in hay.
inline size_t count(const std::string& hay, const std::string& needle) {
  size_t n = 0;
  for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1)) n++;
  return n;
}

// listen_loopback(port): a listening socket on 127.0.0.1 and its port; -1 on failure.
inline int listen_loopback(uint16_t* port, int backlog = 16) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, backlog) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    ::close(fd);
    return -1;
  }
  *port = ntohs(a.sin_port);
  return fd;
}

// A client socket closed on scope exit.
struct client {
  int fd;
  explicit client(uint16_t port) : fd(harness::connect_to(port)) {}
  ~client() {
    if (fd >= 0) ::close(fd);
  }
  client(const client&) = delete;
  client& operator=(const client&) = delete;
};

}  // namespace e2e
