// The secure tunnel end to end: real relay processes chained on loopback,
// clientside -> serverside -> echo server, checked byte for byte and by
// their logs.
#include <gtest/gtest.h>
#include <openssl/sha.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "support/harness.h"

using harness::proc;

namespace {

const char* ESTABLISHED = "Authentication ok, secure tunnel established.";
// Time limit where many key derivations run one after the other (each
// handshake holds up the whole relay while it derives its keys; sanitizer
// builds are several times slower).
constexpr int SLOW_MS = 180000;

// A parameter file that lives as long as the test.
struct paramfile {
  std::string path;
  explicit paramfile(const std::string& text) {
    char name[] = "/tmp/kevra_tunnel_XXXXXX";
    int fd = mkstemp(name);
    EXPECT_GE(fd, 0);
    path = name;
    EXPECT_EQ(write(fd, text.data(), text.size()), (ssize_t)text.size());
    close(fd);
  }
  ~paramfile() { unlink(path.c_str()); }
};

// One relay instance with its parameter file, listening on its own port.
struct relay {
  paramfile file;
  uint16_t port = harness::free_port();
  proc p;
  relay(const std::string& params, uint16_t siteport, std::vector<std::string> extra = {})
      : file(params) {
    std::vector<std::string> args = std::move(extra);
    args.push_back("-f=" + file.path);
    args.push_back(std::to_string(port));
    args.push_back("127.0.0.1");
    args.push_back(std::to_string(siteport));
    p = harness::spawn_kevra(args);
    EXPECT_TRUE(p.wait_for("Listening for connections on port", 5000)) << p.out;
  }
  ~relay() { p.stop(); }
  // count(text): how often text stands in the log so far.
  size_t count(const std::string& text) {
    p.poll_output();
    size_t n = 0;
    for (size_t at = p.out.find(text); at != std::string::npos; at = p.out.find(text, at + 1)) n++;
    return n;
  }
};

std::string options(const std::string& cipher, const std::string& more = "") {
  return "TUNNEL OPTIONS ENCRTYPE " + cipher + " " + more + "\n";
}
std::string client(const std::string& user, const std::string& secret) {
  return "TUNNEL CLIENTSIDE USERNAME " + user + " SECRET '" + secret + "'\n";
}
std::string server(const std::string& user, const std::string& secret) {
  return "TUNNEL SERVERSIDE USERNAME " + user + " SECRET '" + secret + "'\n";
}

std::string sha256(const std::string& s) {
  unsigned char d[SHA256_DIGEST_LENGTH];
  SHA256((const unsigned char*)s.data(), s.size(), d);
  return std::string((char*)d, sizeof d);
}

// echoes(port, data): send data through port and read the same amount back,
// sending and reading at once so neither side's buffers can fill up.
bool echoes(uint16_t port, const std::string& data, std::string* back, int timeout_ms = 60000) {
  int fd = harness::connect_to(port);
  if (fd < 0) return false;
  back->assign(data.size(), '\0');
  std::atomic<bool> sent{false};
  std::thread t([&] { sent = harness::send_all(fd, data.data(), data.size(), timeout_ms); });
  bool got = harness::recv_exact(fd, back->data(), back->size(), timeout_ms);
  t.join();
  close(fd);
  return sent && got;
}

// A clientside and a serverside instance in front of an echo server.
struct pairchain {
  harness::server echo{harness::server::echo};
  relay s, c;
  pairchain(const std::string& sparams, const std::string& cparams,
            std::vector<std::string> sextra = {}, std::vector<std::string> cextra = {})
      : s(sparams, echo.port, std::move(sextra)), c(cparams, s.port, std::move(cextra)) {}
};

}  // namespace

class TunnelCipher : public testing::TestWithParam<const char*> {};

TEST_P(TunnelCipher, RelaysByteExactBothWays) {
  std::string cipher = GetParam();
  pairchain ch(options(cipher) + server("branch", "s3cret words"),
               options(cipher) + client("branch", "s3cret words"));
  // Small messages, one connection, several exchanges.
  int fd = harness::connect_to(ch.c.port);
  ASSERT_GE(fd, 0);
  for (std::string m : {std::string("x"), std::string(176, 'a'), std::string(177, 'b'),
                        harness::random_bytes(8112, 1), harness::random_bytes(30000, 2)}) {
    ASSERT_TRUE(harness::send_all(fd, m.data(), m.size()));
    std::string back(m.size(), '\0');
    ASSERT_TRUE(harness::recv_exact(fd, back.data(), back.size())) << ch.c.p.out << ch.s.p.out;
    ASSERT_EQ(back, m);
  }
  close(fd);
  EXPECT_TRUE(ch.c.p.wait_for(std::string("1: ") + ESTABLISHED));
  EXPECT_TRUE(ch.s.p.wait_for(std::string("1: ") + ESTABLISHED));
  EXPECT_NE(ch.s.p.out.find("1: Authenticating conn 1 (as server side of tunnel)\n   Username: branch\n"),
            std::string::npos);
  EXPECT_NE(ch.c.p.out.find("1: Authenticating conn 2 (as client side of tunnel)\n"),
            std::string::npos);

  // 20 MB of random bytes.
  std::string big = harness::random_bytes(20u << 20, 7), back;
  ASSERT_TRUE(echoes(ch.c.port, big, &back, 120000));
  EXPECT_EQ(sha256(back), sha256(big));
  EXPECT_EQ(ch.c.count("** Error"), 0u) << ch.c.p.out;
  EXPECT_EQ(ch.s.count("** Error"), 0u) << ch.s.p.out;
}

INSTANTIATE_TEST_SUITE_P(Ciphers, TunnelCipher, testing::Values("RC4", "DES3"));

TEST(Tunnel, WrongSecretFailsOnTheClientSide) {
  pairchain ch(options("RC4") + server("branch", "right"), options("RC4") + client("branch", "wrong"));
  int fd = harness::connect_to(ch.c.port);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(harness::wait_closed(fd, 30000));
  close(fd);
  EXPECT_TRUE(ch.c.p.wait_for("1: ** Incorrect message received during authentication.\n"
                              "      Possible wrong secret, or mismatched encryption type.\n"
                              "   Connection closed.\n"))
      << ch.c.p.out;
  EXPECT_TRUE(ch.s.p.wait_for("1: Connection closed")) << ch.s.p.out;
  EXPECT_EQ(ch.s.count(ESTABLISHED), 0u);
  EXPECT_EQ(ch.c.count(ESTABLISHED), 0u);
}

TEST(Tunnel, MismatchedCipherFailsOnTheClientSide) {
  pairchain ch(options("DES3") + server("branch", "same"), options("RC4") + client("branch", "same"));
  int fd = harness::connect_to(ch.c.port);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(harness::wait_closed(fd, 30000));
  close(fd);
  EXPECT_TRUE(ch.c.p.wait_for("1: ** Incorrect message received during authentication.\n"))
      << ch.c.p.out;
  EXPECT_EQ(ch.s.count(ESTABLISHED), 0u);
}

TEST(Tunnel, UnknownUserFailsOnTheServerSide) {
  pairchain ch(options("RC4") + server("branch", "pw"), options("RC4") + client("intruder", "pw"));
  int fd = harness::connect_to(ch.c.port);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(harness::wait_closed(fd, 30000));
  close(fd);
  EXPECT_TRUE(ch.s.p.wait_for("1: ** Error: Authentication failed, unknown username: intruder"))
      << ch.s.p.out;
  EXPECT_TRUE(ch.s.p.wait_for("   Connection closed.\n"));
  EXPECT_EQ(ch.s.count("Username:"), 0u);
  EXPECT_TRUE(ch.c.p.wait_for("1: Connection closed")) << ch.c.p.out;
  EXPECT_EQ(ch.c.count(ESTABLISHED), 0u);
}

TEST(Tunnel, MiddleInstanceWithBothFlags) {
  // client -> C (clientside) -> M (serverside and clientside) -> S (serverside) -> echo
  harness::server echo(harness::server::echo);
  relay s(options("DES3") + server("m", "m-to-s"), echo.port);
  relay m(options("DES3") + server("c", "c-to-m") + client("m", "m-to-s"), s.port);
  relay c(options("DES3") + client("c", "c-to-m"), m.port);
  std::string data = harness::random_bytes(1 << 20, 11), back;
  ASSERT_TRUE(echoes(c.port, data, &back)) << c.p.out << m.p.out << s.p.out;
  EXPECT_EQ(sha256(back), sha256(data));
  // The middle one finishes its conn 1 handshake before it starts the one on conn 2.
  EXPECT_EQ(m.count(ESTABLISHED), 2u) << m.p.out;
  size_t asserver = m.p.out.find("Authenticating conn 1 (as server side of tunnel)");
  size_t firstok = m.p.out.find(ESTABLISHED);
  size_t asclient = m.p.out.find("Authenticating conn 2 (as client side of tunnel)");
  EXPECT_LT(asserver, firstok);
  EXPECT_LT(firstok, asclient);
  EXPECT_EQ(c.count(ESTABLISHED), 1u);
  EXPECT_EQ(s.count(ESTABLISHED), 1u);
}

TEST(Tunnel, DifferentRecordRulesOnTheTwoEnds) {
  pairchain ch(options("RC4", "MSGLENMULT 16") + server("u", "p"),
               options("RC4", "MSGLENMULT 1024 MINMSGLEN 3000") + client("u", "p"));
  std::string data = harness::random_bytes(300000, 5), back;
  ASSERT_TRUE(echoes(ch.c.port, data, &back));
  EXPECT_EQ(back, data);
}

TEST(Tunnel, SmallBufferPadsEveryRecord) {
  pairchain ch(options("RC4", "MSGLENMULT 512") + server("u", "p"),
               options("RC4", "MSGLENMULT 512") + client("u", "p"), {"-buf=512"}, {"-buf=512"});
  std::string data = harness::random_bytes(100000, 6), back;
  ASSERT_TRUE(echoes(ch.c.port, data, &back));
  EXPECT_EQ(back, data);
}

TEST(Tunnel, ReencryptedRecordTooLongGoesOnAsTwo) {
  // C pads to 16 with 1024-byte buffers; M re-pads to 768 and cannot fit
  // a full 1024-byte record (944 payload bytes would become 1536): it sends
  // them as two records, both ways.
  harness::server echo(harness::server::echo);
  relay s(options("RC4") + server("m", "q"), echo.port, {"-buf=1024"});
  relay m(options("RC4", "MSGLENMULT 768") + server("c", "p") + client("m", "q"), s.port,
          {"-buf=1024"});
  relay c(options("RC4", "MSGLENMULT 16") + client("c", "p"), m.port, {"-buf=1024"});
  std::string data = harness::random_bytes(20000, 8), back;
  ASSERT_TRUE(echoes(c.port, data, &back)) << m.p.out;
  EXPECT_EQ(back, data);
  EXPECT_EQ(m.count("** Error"), 0u) << m.p.out;
}

TEST(Tunnel, FortyConnectionsAtOnce) {
  pairchain ch(options("RC4") + server("u", "p"), options("RC4") + client("u", "p"));
  constexpr int N = 40;
  std::vector<int> fds(N, -1);
  for (int i = 0; i < N; i++) {
    fds[i] = harness::connect_to(ch.c.port);
    ASSERT_GE(fds[i], 0) << i;
  }
  std::vector<std::thread> threads;
  std::atomic<int> good{0};
  for (int i = 0; i < N; i++) {
    threads.emplace_back([&, i] {
      std::string m = harness::random_bytes(20000 + i * 100, 100 + i);
      std::string back(m.size(), '\0');
      std::thread w([&] { harness::send_all(fds[i], m.data(), m.size(), SLOW_MS); });
      bool ok = harness::recv_exact(fds[i], back.data(), back.size(), SLOW_MS);
      w.join();
      if (ok && back == m) good++;
    });
  }
  for (auto& t : threads) t.join();
  for (int fd : fds) close(fd);
  EXPECT_EQ(good.load(), N) << ch.c.p.out;
  EXPECT_EQ(ch.c.count(ESTABLISHED), (size_t)N);
  EXPECT_EQ(ch.s.count(ESTABLISHED), (size_t)N);
}
