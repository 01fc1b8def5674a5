#include "support/harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <sys/prctl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>
#include <sstream>

namespace harness {

namespace {

int64_t now_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int remaining(int64_t deadline) {
  int64_t left = deadline - now_ms();
  return left < 0 ? 0 : int(left);
}

// Wait for fd to become readable (events POLLIN) or writable within the time.
bool wait_fd(int fd, short events, int timeout_ms) {
  pollfd p{fd, events, 0};
  for (;;) {
    int rc = ::poll(&p, 1, timeout_ms);
    if (rc > 0) return true;
    if (rc == 0) return false;
    if (errno != EINTR) return false;
  }
}

// The child starts with stdin, stdout and stderr only, never with the test's
// sockets and pipes, so its descriptor counts do not depend on the test.
// It also dies with the test: a test that aborts leaves no relay behind.
void closeinherited() {
  if (::close_range(3, ~0u, 0) != 0)
    for (int fd = 3; fd < 1024; fd++) ::close(fd);
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
}

}  // namespace

proc::proc(proc&& o) noexcept { *this = std::move(o); }

proc& proc::operator=(proc&& o) noexcept {
  if (this != &o) {
    stop();
    pid = o.pid, fd = o.fd, out = std::move(o.out), code = o.code;
    o.pid = -1, o.fd = -1;
  }
  return *this;
}

proc::~proc() { stop(); }

void proc::poll_output() {
  if (fd < 0) return;
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
      out.append(buf, size_t(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || (n < 0 && errno != EAGAIN)) {   // EOF (EIO on a pty whose child ended)
      ::close(fd);
      fd = -1;
    }
    return;
  }
}

bool proc::wait_for(const std::string& text, int timeout_ms) {
  int64_t deadline = now_ms() + timeout_ms;
  for (;;) {
    poll_output();
    if (out.find(text) != std::string::npos) return true;
    if (fd < 0 || remaining(deadline) == 0) return false;
    wait_fd(fd, POLLIN, remaining(deadline) < 50 ? remaining(deadline) : 50);
  }
}

bool proc::running() {
  if (pid <= 0) return false;
  int st;
  pid_t r = ::waitpid(pid, &st, WNOHANG);
  if (r == 0) return true;
  if (r == pid) code = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  pid = -1;
  return false;
}

int proc::wait_exit(int timeout_ms) {
  int64_t deadline = now_ms() + timeout_ms;
  while (running()) {
    if (remaining(deadline) == 0) {
      ::kill(pid, SIGKILL);
      int st;
      ::waitpid(pid, &st, 0);
      pid = -1;
      code = -1;
      poll_output();
      return -1;
    }
    if (fd >= 0) {
      wait_fd(fd, POLLIN, 20);
      poll_output();
    } else {
      usleep(5000);
    }
  }
  // Collect what the child wrote before it ended.
  for (int i = 0; i < 100 && fd >= 0; i++) {
    if (!wait_fd(fd, POLLIN, 20)) break;
    poll_output();
  }
  return code;
}

void proc::stop() {
  if (pid > 0 && running()) {
    ::kill(pid, SIGTERM);
    if (wait_exit(2000) == -1) code = -1;
  }
  poll_output();
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
}

void proc::type(const std::string& keys) {
  if (fd >= 0) {
    ssize_t n = ::write(fd, keys.data(), keys.size());
    (void)n;
  }
}

proc spawn(const std::vector<std::string>& args, bool usepty,
           const std::vector<std::string>& env) {
  proc p;
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  // The child's environment, built before fork: ours, less the names env sets.
  std::vector<char*> envp;
  for (char** e = environ; *e; e++) {
    bool replaced = false;
    for (const auto& v : env) {
      size_t eq = v.find('=');
      if (eq != std::string::npos && strncmp(*e, v.c_str(), eq + 1) == 0) replaced = true;
    }
    if (!replaced) envp.push_back(*e);
  }
  for (const auto& v : env) envp.push_back(const_cast<char*>(v.c_str()));
  envp.push_back(nullptr);

  if (usepty) {
    int master = -1;
    termios tio{};
    cfmakeraw(&tio);
    tio.c_lflag |= ICANON | ECHO;
    tio.c_oflag |= OPOST | ONLCR;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
      closeinherited();
      execve(argv[0], argv.data(), envp.data());
      _exit(127);
    }
    p.pid = pid;
    p.fd = master;
  } else {
    int pipefd[2];
    if (::pipe(pipefd) != 0) return p;
    pid_t pid = ::fork();
    if (pid == 0) {
      ::dup2(pipefd[1], 1);
      ::dup2(pipefd[1], 2);
      int devnull = ::open("/dev/null", O_RDONLY);
      ::dup2(devnull, 0);
      closeinherited();
      execve(argv[0], argv.data(), envp.data());
      _exit(127);
    }
    ::close(pipefd[1]);
    p.pid = pid;
    p.fd = pipefd[0];
    // Room for a long log while the test is busy elsewhere: a relay whose
    // stdout pipe is full waits in printf and stops relaying.
    ::fcntl(p.fd, F_SETPIPE_SZ, 1 << 20);
  }
  ::fcntl(p.fd, F_SETFL, ::fcntl(p.fd, F_GETFL) | O_NONBLOCK);
  return p;
}

std::string kevra_path() {
  const char* bin = getenv("KEVRA_BIN");
  return bin != nullptr && *bin != '\0' ? bin : KEVRA_BIN;
}

proc spawn_kevra(const std::vector<std::string>& args, bool usepty,
                 const std::vector<std::string>& env) {
  // KEVRA_RUNNER: words put before the relay's path, such as a script that
  // runs the Windows build under Wine.
  std::vector<std::string> all;
  if (const char* runner = getenv("KEVRA_RUNNER")) {
    std::istringstream words(runner);
    for (std::string w; words >> w;) all.push_back(w);
  }
  all.push_back(kevra_path());
  all.insert(all.end(), args.begin(), args.end());
  return spawn(all, usepty, env);
}

uint16_t free_port() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  uint16_t port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  ::close(fd);
  return port;
}

int connect_to(uint16_t port, int timeout_ms) {
  int64_t deadline = now_ms() + timeout_ms;
  for (;;) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
    ::close(fd);
    if (remaining(deadline) == 0) return -1;
    usleep(20000);   // the relay may still be starting
  }
}

bool send_all(int fd, const void* data, size_t len, int timeout_ms) {
  int64_t deadline = now_ms() + timeout_ms;
  const char* p = static_cast<const char*>(data);
  while (len > 0) {
    if (!wait_fd(fd, POLLOUT, remaining(deadline))) return false;
    ssize_t n = ::send(fd, p, len, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) return false;
    p += n, len -= size_t(n);
  }
  return true;
}

bool recv_exact(int fd, void* data, size_t len, int timeout_ms) {
  int64_t deadline = now_ms() + timeout_ms;
  char* p = static_cast<char*>(data);
  while (len > 0) {
    if (!wait_fd(fd, POLLIN, remaining(deadline))) return false;
    ssize_t n = ::recv(fd, p, len, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) return false;
    p += n, len -= size_t(n);
  }
  return true;
}

std::string recv_until_eof(int fd, int timeout_ms, bool* eof) {
  int64_t deadline = now_ms() + timeout_ms;
  std::string got;
  char buf[65536];
  if (eof) *eof = false;
  for (;;) {
    if (!wait_fd(fd, POLLIN, remaining(deadline))) return got;
    ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) {
      if (eof) *eof = true;
      return got;
    }
    got.append(buf, size_t(n));
  }
}

bool wait_closed(int fd, int timeout_ms) {
  bool eof = false;
  recv_until_eof(fd, timeout_ms, &eof);
  return eof;
}

std::string random_bytes(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i++) s[i] = char(gen() & 0xFF);
  return s;
}

server::server(mode_t m) : mode(m) {
  lfd = ::socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  ::setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ::bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::listen(lfd, 128);
  ::getsockname(lfd, reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
  acceptor = std::thread([this] { acceptloop(); });
}

server::~server() {
  stopping = true;
  ::shutdown(lfd, SHUT_RDWR);
  acceptor.join();
  ::close(lfd);
  {
    std::lock_guard<std::mutex> g(mu);
    for (int fd : clients) ::shutdown(fd, SHUT_RDWR);
  }
  for (auto& t : workers) t.join();
  for (int fd : clients) ::close(fd);
}

void server::acceptloop() {
  while (!stopping) {
    if (!wait_fd(lfd, POLLIN, 100)) continue;
    int fd = ::accept(lfd, nullptr, nullptr);
    if (fd < 0) continue;
    naccepted++;
    std::lock_guard<std::mutex> g(mu);
    clients.push_back(fd);
    workers.emplace_back([this, fd] { serve(fd); });
  }
}

void server::serve(int fd) {
  char buf[65536];
  if (mode == silent) {
    while (!stopping) wait_fd(fd, 0, 100);
    return;
  }
  while (!stopping) {
    if (!wait_fd(fd, POLLIN, 100)) continue;
    ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) break;
    nbytes += uint64_t(n);
    if (mode == echo && !send_all(fd, buf, size_t(n), 30000)) break;
  }
  // Half-close toward the peer so a relay sees the end of file.
  ::shutdown(fd, SHUT_WR);
}

}  // namespace harness
