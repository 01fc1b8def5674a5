// Test harness: run the real relay as a child process and read its log,
// loopback echo and sink servers, free ports, client sockets with time limits.
// Every wait is bounded; every child is stopped by its pid when its handle dies.
#pragma once
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace harness {

// A child process whose stdout and stderr arrive on one pipe, or on a
// pseudo-terminal that is also its stdin and controlling terminal.
class proc {
 public:
  proc() = default;
  proc(const proc&) = delete;
  proc& operator=(const proc&) = delete;
  proc(proc&& o) noexcept;
  proc& operator=(proc&& o) noexcept;
  ~proc();   // stops the child if it still runs

  pid_t pid = -1;
  int fd = -1;          // read end of the output (the pty master with a pty)
  std::string out;      // everything read so far
  int code = -1;        // exit code once reaped; 128 + signal when killed

  // Read what is there now, without waiting.
  void poll_output();
  // Read until text appears in out (true) or timeout_ms passes (false).
  bool wait_for(const std::string& text, int timeout_ms = 5000);
  // Wait until the child ends; SIGKILL after timeout_ms. The exit code, or -1 when it had to be killed.
  int wait_exit(int timeout_ms = 5000);
  // SIGTERM, then SIGKILL after a grace period; reap; read the last output.
  void stop();
  // Write to the child's terminal (pty children only).
  void type(const std::string& keys);
  bool running();
};

// spawn(args, usepty, env): start args[0] with its arguments (execve path, no
// shell); env holds "NAME=value" entries added to (or replacing) the environment.
proc spawn(const std::vector<std::string>& args, bool usepty = false,
           const std::vector<std::string>& env = {});
// spawn_kevra(args, usepty, env): start the relay under test, behind the
// command prefix in the environment variable KEVRA_RUNNER if it is set.
proc spawn_kevra(const std::vector<std::string>& args, bool usepty = false,
                 const std::vector<std::string>& env = {});
// kevra_path(): path of the relay under test: the environment variable
// KEVRA_BIN, else the one this build made.
std::string kevra_path();

// free_port(): a TCP port on 127.0.0.1 that was free a moment ago.
uint16_t free_port();
// connect_to(port, timeout_ms): a blocking client socket to 127.0.0.1:port, or -1.
int connect_to(uint16_t port, int timeout_ms = 3000);
// send_all / recv_exact: whole transfers within timeout_ms; false on failure or time-out.
bool send_all(int fd, const void* data, size_t len, int timeout_ms = 10000);
bool recv_exact(int fd, void* data, size_t len, int timeout_ms = 10000);
// recv_until_eof(fd, timeout_ms, eof): everything until the peer closes; eof tells if it did.
std::string recv_until_eof(int fd, int timeout_ms = 5000, bool* eof = nullptr);
// wait_closed(fd, timeout_ms): true when the peer closed (or reset) within the time.
bool wait_closed(int fd, int timeout_ms = 5000);
// random_bytes(n, seed): reproducible test data.
std::string random_bytes(size_t n, uint32_t seed);

// A loopback server in its own threads, one per client, until destroyed.
// Mode echo: sends back every byte. Mode sink: reads and counts, sends nothing.
// Mode silent: accepts and never reads.
class server {
 public:
  enum mode_t { echo, sink, silent };
  explicit server(mode_t m);
  ~server();
  server(const server&) = delete;
  server& operator=(const server&) = delete;

  uint16_t port = 0;
  size_t accepted() const { return naccepted.load(); }
  uint64_t bytes() const { return nbytes.load(); }

 private:
  void acceptloop();
  void serve(int fd);
  mode_t mode;
  int lfd = -1;
  std::atomic<bool> stopping{false};
  std::atomic<size_t> naccepted{0};
  std::atomic<uint64_t> nbytes{0};
  std::thread acceptor;
  std::mutex mu;
  std::vector<std::thread> workers;
  std::vector<int> clients;
};

}  // namespace harness
