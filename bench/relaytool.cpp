// relaytool: the loopback load generator of relay_bench.sh.
//
//   relaytool serve                    listen on 127.0.0.1, print the port, serve
//                                      each client by its first byte:
//                                      'S' sink, 'R' endless source, 'E' echo,
//                                      'Q' a 10 KB answer to each 100-byte request
//   relaytool send PORT SECONDS        push data for SECONDS, then wait until the
//                                      far end has taken it all; prints "bytes seconds"
//   relaytool recv PORT SECONDS        read a source for SECONDS; prints "bytes seconds"
//   relaytool pingpong PORT COUNT SIZE round trips of SIZE bytes; prints
//                                      "median_us p99_us"
//   relaytool reqresp PORT COUNT       COUNT requests of 100 bytes, each answered
//                                      with 10 KB, on one connection, as a
//                                      keep-alive web client makes them; prints
//                                      "mean_ms p50_ms p99_ms" per request
//   relaytool connrate PORT SECONDS    connect, one byte there and back, close,
//                                      for SECONDS; prints "connections seconds"
//   relaytool firstbyte PORT COUNT     COUNT connections one at a time, 20 ms
//                                      apart: connect, one byte there and back;
//                                      prints "median_ms max_ms" of connect
//                                      until the byte is back
//   relaytool waitready PORT MS        exit 0 once a connect to PORT succeeds
//   relaytool freeport                 print a loopback port that is free now
//
// Bulk data is a fixed pattern that the receiving end checks, so a relay that
// loses or garbles bytes fails its row instead of looking fast.
// Every blocking call has a 10-second time limit, every loop a bound, so a
// stuck relay ends a measurement with an error instead of hanging the run.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using clk = std::chrono::steady_clock;
constexpr size_t CHUNK = 256 * 1024;
constexpr int IOLIMIT_S = 10;
constexpr size_t REQLEN = 100, ANSLEN = 10240;

// pattern(): two periods of the bulk data; the byte at stream offset n is
// pattern()[n % CHUNK], so any received run of up to CHUNK bytes compares in one call.
const std::vector<char>& pattern() {
  static std::vector<char> p = [] {
    std::vector<char> v(2 * CHUNK);
    uint32_t x = 0x12345678;
    for (size_t i = 0; i < CHUNK; i++) {
      x = x * 1103515245u + 12345u;
      v[i] = v[i + CHUNK] = char(x >> 24);
    }
    return v;
  }();
  return p;
}

// checked(data, n, pos): true when n received bytes at stream offset pos are the pattern.
bool checked(const char* data, size_t n, unsigned long long pos) {
  return memcmp(pattern().data() + pos % CHUNK, data, n) == 0;
}

double since(clk::time_point t0) {
  return std::chrono::duration<double>(clk::now() - t0).count();
}

[[noreturn]] void die(const char* what) {
  fprintf(stderr, "relaytool: %s: %s\n", what, strerror(errno));
  exit(2);
}

[[noreturn]] void fault(const char* what) {
  fprintf(stderr, "relaytool: %s\n", what);
  exit(3);
}

void timelimits(int fd) {
  timeval tv = {IOLIMIT_S, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

int dial(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) die("socket");
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(uint16_t(port));
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timelimits(fd);
  if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    close(fd);
    return -1;
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

bool sendall(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t k = send(fd, p, n, MSG_NOSIGNAL);
    if (k <= 0) return false;
    p += k;
    n -= size_t(k);
  }
  return true;
}

bool recvall(int fd, char* p, size_t n) {
  while (n > 0) {
    ssize_t k = recv(fd, p, n, 0);
    if (k <= 0) return false;
    p += k;
    n -= size_t(k);
  }
  return true;
}

// Server side of one client, chosen by its first byte.
void serveone(int fd) {
  timelimits(fd);
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  std::vector<char> buf(CHUNK);
  char mode = 0;
  if (recv(fd, &mode, 1, 0) == 1) {
    if (mode == 'S') {
      unsigned long long pos = 0;
      ssize_t k;
      while ((k = recv(fd, buf.data(), buf.size(), 0)) > 0) {
        if (!checked(buf.data(), size_t(k), pos)) {
          // Reset instead of closing: the sender then reports a failure.
          linger lg = {1, 0};
          setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
          fprintf(stderr, "relaytool: sink: wrong data at offset %llu\n", pos);
          break;
        }
        pos += size_t(k);
      }
    } else if (mode == 'R') {
      // The client ends the stream by closing; a send limit ends a stalled one.
      while (send(fd, pattern().data(), CHUNK, MSG_NOSIGNAL) > 0) {}
    } else if (mode == 'E') {
      ssize_t k;
      while ((k = recv(fd, buf.data(), buf.size(), 0)) > 0)
        if (!sendall(fd, buf.data(), size_t(k))) break;
    } else if (mode == 'Q') {
      // The answer in one send, as a web server writes a small file.
      while (recvall(fd, buf.data(), REQLEN) && sendall(fd, pattern().data(), ANSLEN)) {}
    }
  }
  close(fd);
}

// boundport(): a socket bound to a port of 127.0.0.1 that the system chose, and the port.
int boundport(int* port) {
  int lfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (lfd < 0) die("socket");
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  if (bind(lfd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) die("bind");
  getsockname(lfd, reinterpret_cast<sockaddr*>(&sa), &len);
  *port = ntohs(sa.sin_port);
  return lfd;
}

int serve() {
  int port;
  int lfd = boundport(&port);
  if (listen(lfd, 128) != 0) die("listen");
  printf("%d\n", port);
  fflush(stdout);
  // Runs until the script stops it by its pid.
  for (;;) {
    int fd = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      usleep(1000);
      continue;
    }
    std::thread(serveone, fd).detach();
  }
}

int sendfor(int port, double seconds) {
  int fd = dial(port);
  if (fd < 0) die("connect");
  auto t0 = clk::now();
  if (!sendall(fd, "S", 1)) die("send");
  unsigned long long total = 0;
  while (since(t0) < seconds) {
    if (!sendall(fd, pattern().data(), CHUNK)) die("send");
    total += CHUNK;
  }
  // Done when the sink has read everything and closed, which the relay passes on.
  shutdown(fd, SHUT_WR);
  char c;
  ssize_t k = recv(fd, &c, 1, 0);
  double t = since(t0);
  if (k != 0) die("waiting for the far end to close");
  close(fd);
  printf("%llu %.3f\n", total, t);
  return 0;
}

int recvfor(int port, double seconds) {
  int fd = dial(port);
  if (fd < 0) die("connect");
  if (!sendall(fd, "R", 1)) die("send");
  std::vector<char> buf(CHUNK);
  auto t0 = clk::now();
  unsigned long long total = 0;
  double t;
  while ((t = since(t0)) < seconds) {
    ssize_t k = recv(fd, buf.data(), buf.size(), 0);
    if (k <= 0) die("recv");
    if (!checked(buf.data(), size_t(k), total)) fault("wrong data from the source");
    total += size_t(k);
  }
  close(fd);
  printf("%llu %.3f\n", total, t);
  return 0;
}

int pingpong(int port, int count, int size) {
  int fd = dial(port);
  if (fd < 0) die("connect");
  if (!sendall(fd, "E", 1)) die("send");
  std::vector<char> out(static_cast<size_t>(size), 'p');
  std::vector<char> in(static_cast<size_t>(size));
  std::vector<double> us;
  us.reserve(size_t(count));
  for (int i = 0; i < count; i++) {
    auto t0 = clk::now();
    if (!sendall(fd, out.data(), out.size()) || !recvall(fd, in.data(), in.size())) die("round trip");
    us.push_back(since(t0) * 1e6);
  }
  close(fd);
  std::sort(us.begin(), us.end());
  printf("%.1f %.1f\n", us[us.size() / 2], us[std::min(us.size() - 1, us.size() * 99 / 100)]);
  return 0;
}

int reqresp(int port, int count) {
  int fd = dial(port);
  if (fd < 0) die("connect");
  if (!sendall(fd, "Q", 1)) die("send");
  std::vector<char> req(REQLEN, 'q'), ans(ANSLEN);
  std::vector<double> ms;
  ms.reserve(size_t(count));
  auto all = clk::now();
  for (int i = 0; i < count; i++) {
    auto t0 = clk::now();
    if (!sendall(fd, req.data(), REQLEN) || !recvall(fd, ans.data(), ANSLEN)) die("request");
    if (!checked(ans.data(), ANSLEN, 0)) fault("wrong answer");
    ms.push_back(since(t0) * 1e3);
  }
  double mean = since(all) * 1e3 / count;
  close(fd);
  std::sort(ms.begin(), ms.end());
  printf("%.3f %.3f %.3f\n", mean, ms[ms.size() / 2], ms[std::min(ms.size() - 1, ms.size() * 99 / 100)]);
  return 0;
}

int connrate(int port, double seconds) {
  auto t0 = clk::now();
  unsigned long n = 0;
  while (since(t0) < seconds) {
    int fd = dial(port);
    if (fd < 0) die("connect");
    char c = 0;
    if (!sendall(fd, "Ex", 2) || !recvall(fd, &c, 1) || c != 'x') die("one-byte echo");
    close(fd);
    n++;
  }
  printf("%lu %.3f\n", n, since(t0));
  return 0;
}

int firstbyte(int port, int count) {
  std::vector<double> ms;
  ms.reserve(size_t(count));
  for (int i = 0; i < count; i++) {
    // A pause first, so that each connection meets relays that have finished
    // with the one before.
    usleep(20000);
    auto t0 = clk::now();
    int fd = dial(port);
    if (fd < 0) die("connect");
    char c = 0;
    if (!sendall(fd, "Ex", 2) || !recvall(fd, &c, 1) || c != 'x') die("one-byte echo");
    ms.push_back(since(t0) * 1e3);
    close(fd);
  }
  std::sort(ms.begin(), ms.end());
  printf("%.2f %.2f\n", ms[ms.size() / 2], ms.back());
  return 0;
}

int waitready(int port, int ms) {
  auto t0 = clk::now();
  while (since(t0) * 1000 < ms) {
    int fd = dial(port);
    if (fd >= 0) {
      close(fd);
      return 0;
    }
    usleep(20000);
  }
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  if (argc >= 2 && !strcmp(argv[1], "serve")) return serve();
  if (argc >= 2 && !strcmp(argv[1], "freeport")) {
    int port;
    close(boundport(&port));
    printf("%d\n", port);
    return 0;
  }
  if (argc == 4 && !strcmp(argv[1], "send")) return sendfor(atoi(argv[2]), atof(argv[3]));
  if (argc == 4 && !strcmp(argv[1], "recv")) return recvfor(atoi(argv[2]), atof(argv[3]));
  if (argc == 5 && !strcmp(argv[1], "pingpong"))
    return pingpong(atoi(argv[2]), std::max(1, atoi(argv[3])), std::max(1, atoi(argv[4])));
  if (argc == 4 && !strcmp(argv[1], "reqresp")) return reqresp(atoi(argv[2]), std::max(1, atoi(argv[3])));
  if (argc == 4 && !strcmp(argv[1], "connrate")) return connrate(atoi(argv[2]), atof(argv[3]));
  if (argc == 4 && !strcmp(argv[1], "firstbyte"))
    return firstbyte(atoi(argv[2]), std::max(1, atoi(argv[3])));
  if (argc == 4 && !strcmp(argv[1], "waitready")) return waitready(atoi(argv[2]), atoi(argv[3]));
  fprintf(stderr, "usage: relaytool serve | send|recv|connrate PORT SECONDS | pingpong PORT COUNT SIZE | firstbyte PORT COUNT | waitready PORT MS\n");
  return 2;
}
