// The one harness of the tests: the relay under test as a child process with
// its log on a pipe or a pseudo-terminal, loopback servers that run a small
// script per client, client sockets with time limits, a temporary folder.
// Every wait is bounded; every child is stopped by its pid when its handle goes.
//
// Environment: KEVRA_BIN is the binary under test (default: the one built
// beside the tests); KEVRA_RUNNER is a command put in front of it, split on
// spaces (a wrapper that runs a Windows build under Wine, say). KEVRA_PEER_BIN
// and KEVRA_PEER_RUNNER name another build for the relays a test starts as
// the peer (a Linux build beside a Windows one); without them the peer is the
// binary under test.
#pragma once
#include <arpa/inet.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/testdir.h"

namespace harness {

inline int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
inline int left(int64_t deadline) { return int(std::max<int64_t>(0, deadline - now_ms())); }
// wait_fd(fd, events, ms): fd ready for events in time (0: a hang-up or error only).
inline bool wait_fd(int fd, short events, int timeout_ms) {
  pollfd p{fd, events, 0};
  int rc;
  while ((rc = ::poll(&p, 1, timeout_ms)) < 0 && errno == EINTR) {
  }
  return rc > 0;
}

// A child process whose stdout and stderr arrive on one pipe (stdin is
// /dev/null), or on a pseudo-terminal that is also its console.
struct proc {
  pid_t pid = -1;
  int fd = -1;       // read end of the output (the pty master with a pty)
  std::string out;   // everything read so far
  int code = -1;     // exit code once reaped, 128 + signal when killed

  proc() = default;
  proc(proc&& o) noexcept { *this = std::move(o); }
  proc& operator=(proc&& o) noexcept {
    stop();
    std::swap(pid, o.pid);
    std::swap(fd, o.fd);
    std::swap(out, o.out);
    code = o.code;
    return *this;
  }
  ~proc() { stop(); }

  void poll_output() {   // what is there now
    char buf[65536];
    ssize_t n = 0;
    while (fd >= 0 && ((n = ::read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)))
      if (n > 0) out.append(buf, size_t(n));
    if (fd >= 0 && (n == 0 || errno != EAGAIN)) {   // EIO: a pty's child ended
      ::close(fd);
      fd = -1;
    }
  }
  bool wait_for(const std::string& text, int timeout_ms = 5000) {
    for (int64_t deadline = now_ms() + timeout_ms;;
         wait_fd(fd, POLLIN, std::min(left(deadline), 50))) {
      poll_output();
      if (out.find(text) != std::string::npos) return true;
      if (fd < 0 || left(deadline) == 0) return false;
    }
  }
  bool running() {
    int st;
    if (pid <= 0 || ::waitpid(pid, &st, WNOHANG) == 0) return pid > 0;
    code = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    pid = -1;
    return false;
  }
  int wait_exit(int timeout_ms = 5000) {   // the exit code; -1 when it had to be killed
    for (int64_t deadline = now_ms() + timeout_ms; running(); poll_output()) {
      if (left(deadline) == 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        pid = -1;
        code = -1;
      } else if (!wait_fd(fd, POLLIN, 20)) {
        usleep(1000);
      }
    }
    for (int i = 0; i < 100 && fd >= 0 && wait_fd(fd, POLLIN, 20); i++) poll_output();
    return code;
  }
  void stop() {   // SIGTERM, SIGKILL after 2 s, and the rest of the log
    if (running()) {
      ::kill(pid, SIGTERM);
      wait_exit(2000);
    }
    poll_output();
    if (fd >= 0) {
      ::close(fd);
      fd = -1;
    }
  }
  void type(const std::string& keys) {
    if (::write(fd, keys.data(), keys.size()) < 0) stop();
  }   // on its pty
  size_t count(const std::string& text) {
    size_t n = 0;
    poll_output();
    for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) n++;
    return n;
  }
};

// kevra(args, sh, pty, peer): the relay under test (or the peer build), with
// its state (seed files, locks) in testdir(), never the machine's; under the
// shell script sh, which ends in exec "$@" (ulimit, faketime, redirected
// input); on a pty.
proc kevra(const std::vector<std::string>& args, const std::string& sh = "", bool pty = false,
           bool peer = false);
// spawn(cmd, pty): any program (cmd[0], looked up on PATH) the same way, its
// state folder too, for the peers that are not kevra.
proc spawn(std::vector<std::string> cmd, bool pty = false);
// relay(args, sh, pty, peer): the same, once it says it listens (or has ended).
inline proc relay(const std::vector<std::string>& args, const std::string& sh = "",
                  bool pty = false, bool peer = false) {
  proc p = kevra(args, sh, pty, peer);
  p.wait_for("Listening for connections on port ");
  return p;
}
// args(opts, port, site): the relay's command line toward 127.0.0.1:site.
inline std::vector<std::string> args(std::vector<std::string> opts, uint16_t port, uint16_t site) {
  opts.insert(opts.end(), {std::to_string(port), "127.0.0.1", std::to_string(site)});
  return opts;
}
// The relay's clock 1000 times faster: 20 minutes pass in 1.2 seconds. The
// library is preloaded rather than run through faketime, which would stand
// between the relay and its stop signals as a parent of its own.
constexpr const char* fastclock =
    "for lib in /usr/lib/*/faketime /usr/lib/faketime /usr/local/lib/faketime; do [ -d $lib ] && "
    "break; done; "
    "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0 FAKETIME='+0 x1000' "
    "LD_PRELOAD=$lib/libfaketime.so.1 exec \"$@\"";

inline sockaddr_in loopback(uint16_t port) {
  return {AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
}
// listen_loopback(&port): a listener on 127.0.0.1 and a port of the system's choice; -1 on failure.
inline int listen_loopback(uint16_t* port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = loopback(0);
  socklen_t len = sizeof a;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), len) == 0 && ::listen(fd, 64) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
    *port = ntohs(a.sin_port);
    return fd;
  }
  ::close(fd);
  return -1;
}
inline uint16_t free_port() {   // free a moment ago
  uint16_t port = 0;
  ::close(listen_loopback(&port));
  return port;
}
// transfer(fd, p, len, ms, out): send (out) or receive exactly len bytes in time.
inline bool transfer(int fd, char* p, size_t len, int timeout_ms, bool out) {
  for (int64_t deadline = now_ms() + timeout_ms; len > 0;) {
    if (!wait_fd(fd, out ? POLLOUT : POLLIN, left(deadline))) return false;
    ssize_t n =
        out ? ::send(fd, p, len, MSG_NOSIGNAL | MSG_DONTWAIT) : ::recv(fd, p, len, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return false;
    if (n > 0) {
      p += n;
      len -= size_t(n);
    }
  }
  return true;
}
inline bool send_all(int fd, const void* data, size_t len, int timeout_ms = 10000) {
  return transfer(fd, static_cast<char*>(const_cast<void*>(data)), len, timeout_ms, true);
}
// recv_until_eof(fd, ms, &eof): all until the peer closes; eof tells if it did in time.
inline std::string recv_until_eof(int fd, int timeout_ms = 5000, bool* eof = nullptr) {
  std::string got;
  char buf[65536];
  ssize_t n = 1;
  for (int64_t deadline = now_ms() + timeout_ms;
       (n > 0 || (n < 0 && (errno == EAGAIN || errno == EINTR))) &&
       wait_fd(fd, POLLIN, left(deadline));)
    if ((n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0) got.append(buf, size_t(n));
  if (eof) *eof = n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR);
  return got;
}
inline bool wait_closed(int fd, int timeout_ms = 5000) {   // the peer closed or reset in time
  bool eof = false;
  recv_until_eof(fd, timeout_ms, &eof);
  return eof;
}
// echo_ok(fd, data, ms): data sent (from a second thread) comes back unchanged.
inline bool echo_ok(int fd, const std::string& data, int timeout_ms = 60000) {
  bool sent = false;
  std::string back(data.size(), '\0');
  std::thread writer([&] { sent = fd >= 0 && send_all(fd, data.data(), data.size(), timeout_ms); });
  bool got = fd >= 0 && transfer(fd, back.data(), back.size(), timeout_ms, false);
  writer.join();
  return sent && got && back == data;
}
inline std::string random_bytes(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = char(gen());
  return s;
}

// A client socket to 127.0.0.1:port (none for port 0) from the loopback
// address source, tried for 3 s while the relay may be starting, closed when
// it goes; close(true) ends it with a reset instead of an orderly end.
struct client {
  int fd = -1;
  explicit client(uint16_t port, const char* source = "127.0.0.1") {
    sockaddr_in a = loopback(port), from = loopback(0);
    inet_pton(AF_INET, source, &from.sin_addr);
    for (int64_t deadline = now_ms() + 3000; port && left(deadline) > 0; usleep(20000)) {
      fd = ::socket(AF_INET, SOCK_STREAM, 0);
      if (::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) == 0 &&
          ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
        return;
      close();
    }
  }
  client(const client&) = delete;
  ~client() { close(); }
  void close(bool reset = false) {
    linger l{1, 0};
    if (reset) ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    if (fd >= 0) {
      ::close(fd);
      fd = -1;
    }
  }
};

// A loopback server that runs script(fd, n) in a thread of its own for its
// n-th client (from 0), then ends its side. Destroying it shuts every client
// down, which ends every script's waits.
struct server {
  using script = std::function<void(int fd, size_t n)>;
  explicit server(script s) : run(std::move(s)), lfd(listen_loopback(&port)) {
    acceptor = std::thread([this] {
      while (!stopping) {
        int fd = wait_fd(lfd, POLLIN, 100) ? ::accept(lfd, nullptr, nullptr) : -1;
        std::lock_guard<std::mutex> g(mu);
        if (fd < 0) continue;
        fds.push_back(fd);
        threads.emplace_back([this, fd, n = fds.size() - 1] {
          run(fd, n);
          ::shutdown(fd, SHUT_WR);   // the relay sees the end
        });
      }
    });
  }
  server(const server&) = delete;
  ~server() {
    stopping = true;
    acceptor.join();
    ::close(lfd);
    for (int fd : fds) ::shutdown(fd, SHUT_RDWR);
    for (auto& t : threads) t.join();
    for (int fd : fds) ::close(fd);
  }
  uint16_t port = 0;
  script run;
  int lfd;
  std::atomic<bool> stopping{false};
  std::mutex mu;
  std::vector<int> fds;
  std::vector<std::thread> threads;
  std::thread acceptor;
};
inline void echo(int fd, size_t) {   // sends back every byte
  char buf[65536];
  for (ssize_t n; wait_fd(fd, POLLIN, 60000) && (n = ::recv(fd, buf, sizeof buf, 0)) > 0 &&
                  send_all(fd, buf, size_t(n), 60000);) {
  }
}
inline void silent(int fd, size_t) { wait_fd(fd, 0, 60000); }   // never reads

}   // namespace harness
