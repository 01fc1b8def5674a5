// Soak: 36 tunnelled connections at once through a clientside -> serverside
// chain, for both ciphers, each moving random data both ways, while faulty
// clients hit the serverside: gone in mid-handshake, garbage instead of Msg1,
// a record with a flipped byte, a reset in mid-record. In the end every good
// connection's data is intact, every bad one closed with its message, no
// descriptor leaked, no memory kept, both relays still accept, and the
// Server Table turns the 41st client away.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "support/harness.h"

namespace {

using namespace harness;

constexpr int kGood = 36;            // good connections at once; faults take the rest of 40
constexpr size_t kBytes = 2 << 20;   // each way, per good connection

// The most resident memory the process has had, in KB. The peak, not the
// present size: whether the allocator gives a freed heap top back to the
// system depends on which block happened to be freed last, so the present
// size after a wave swings by a whole wave's working set either way.
long peak_kb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}
size_t fds(pid_t pid) {
  auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd");
  return size_t(std::distance(begin(it), end(it)));
}

// A man in the middle toward target for its n-th client: past the two
// 128-byte handshake messages it flips a byte (n even) or resets (n odd).
void tamper(int c, size_t n, uint16_t target) {
  client s(target);
  size_t up = 0, at = 256 + (n % 2 ? 100 : 60);
  char buf[16384];
  for (pollfd p[2] = {{c, POLLIN, 0}, {s.fd, POLLIN, 0}}; ::poll(p, 2, 60000) > 0;) {
    for (int i = 0; i < 2; i++) {
      ssize_t k = p[i].revents ? ::recv(p[i].fd, buf, sizeof buf, 0) : -2;
      bool hit = i == 0 && k > 0 && up <= at && at < up + size_t(k);
      if (hit && n % 2) {   // cut at the byte, with a reset
        send_all(s.fd, buf, at - up);
        s.close(true);
        return;
      }
      if (hit) buf[at - up] ^= 1;
      if (k == -1 || k == 0 || (k > 0 && !send_all(p[1 - i].fd, buf, size_t(k)))) return;
      up += i == 0 && k > 0 ? size_t(k) : 0;
    }
  }
}

void soak(const std::string& cipher) {
  auto good = [](uint16_t port, uint32_t seed) {
    return echo_ok(client(port).fd, random_bytes(kBytes, seed), 120000);
  };
  std::string opts = "TUNNEL OPTIONS ENCRTYPE " + cipher + "\n";
  std::string sfile = file("s", opts + "TUNNEL SERVERSIDE USERNAME soak SECRET 'soak it up'\n");
  std::string cfile = file("c", opts + "TUNNEL CLIENTSIDE USERNAME soak SECRET 'soak it up'\n");
  server echoes(echo);
  uint16_t sport = free_port(), cport = free_port(), c2port = free_port();
  proc srv = relay(args({"-f=" + sfile}, sport, echoes.port));
  server proxy([&](int fd, size_t n) { tamper(fd, n, sport); });
  proc cli = relay(args({"-f=" + cfile}, cport, sport));
  proc cli2 = relay(args({"-f=" + cfile}, c2port, proxy.port));
  // The first connection opens the state folder, which stays open for the
  // run: the descriptors are counted after it has ended at both relays (the
  // log is written out after the close pass).
  EXPECT_TRUE(good(cport, 4241));
  EXPECT_TRUE(srv.wait_for("1: Connection closed")) << srv.out;
  EXPECT_TRUE(cli.wait_for("1: Connection closed")) << cli.out;
  size_t fds_srv = fds(srv.pid), fds_cli = fds(cli.pid);
  std::vector<long> peak;
  std::atomic<int> ok{0};
  int rounds = 0;
  for (int wave = 0; wave < 2; wave++) {
    std::atomic<int> running{kGood};
    std::vector<std::thread> goods;
    for (int i = 0; i < kGood; i++)
      goods.emplace_back([&, i] {
        ok += good(cport, uint32_t(100 * wave + i));
        running--;
      });
    // Faults for as long as the good traffic runs, 40 rounds at most.
    do {
      srv.poll_output();
      cli.poll_output();
      cli2.poll_output();
      client gone(sport), junk(sport);
      if (gone.fd < 0) break;   // the serverside stopped accepting: the checks below fail
      send_all(gone.fd, "Msg1\xB5\xB5\x01\x00", 8);
      gone.close();
      std::string bytes = random_bytes(128, uint32_t(rounds));
      send_all(junk.fd, bytes.data(), bytes.size());
      EXPECT_TRUE(wait_closed(junk.fd, 10000));
      for (int k = 0; k < 2; k++) {   // flipped, then reset, by the proxy
        client c(c2port);
        send_all(c.fd, bytes.data(), bytes.size());
        EXPECT_TRUE(wait_closed(c.fd, 15000));
      }
    } while (++rounds < 40 && running > 0);
    for (auto& t : goods) t.join();
    peak.push_back(peak_kb(srv.pid));
  }
  EXPECT_EQ(ok.load(), 2 * kGood) << "good connections with intact data";
  EXPECT_EQ(srv.count("Authentication failed: invalid Msg1 header."), size_t(rounds)) << srv.out;
  EXPECT_EQ(srv.count("Incorrect check sum in received record."), size_t(rounds)) << srv.out;

  // Still accepting; forty connections fill the Server Table and the next
  // client is turned away; nothing leaked once the connections are gone.
  EXPECT_TRUE(good(cport, 4242));
  std::vector<std::unique_ptr<client>> full;
  for (int i = 0; i < 41; i++) full.push_back(std::make_unique<client>(sport));
  EXPECT_TRUE(wait_closed(full[40]->fd)) << "the 41st connection stays open";
  EXPECT_TRUE(srv.wait_for("** Error: Server Table is full. Connection rejected.\n")) << srv.out;
  full.clear();
  for (int i = 0; i < 100 && (fds(srv.pid) != fds_srv || fds(cli.pid) != fds_cli); i++)
    usleep(50000);
  EXPECT_EQ(fds(srv.pid), fds_srv) << "the serverside's open files";
  EXPECT_EQ(fds(cli.pid), fds_cli) << "the clientside's open files";
  EXPECT_TRUE(srv.running()) << "the serverside ended";
  EXPECT_TRUE(cli.running()) << "the clientside ended";
  // A second wave reaches no higher peak than the first: what a connection
  // takes comes back when it ends. A leak of one buffer per connection would
  // raise it by more than a megabyte. (AddressSanitizer keeps freed memory
  // in quarantine; there it checks use instead.)
#ifndef __SANITIZE_ADDRESS__
  EXPECT_GT(peak[0], 0);
  EXPECT_LT(peak[1] - peak[0], 512) << "KB more peak resident memory in the second wave";
#endif
  printf(
      "soak %s: %d good connections of %zu bytes each way, %d fault rounds, descriptors %zu then "
      "%zu, "
      "peak resident KB %ld then %ld\n",
      cipher.c_str(), ok.load() + 2, kBytes, rounds, fds_srv, fds(srv.pid), peak[0], peak[1]);
}

TEST(Soak, Rc4Tunnel) { soak("RC4"); }
TEST(Soak, TripleDesTunnel) { soak("DES3"); }

}   // namespace
