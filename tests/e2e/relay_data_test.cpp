// Relayed data arrives byte for byte, in both directions, at every buffer size.
#include <openssl/sha.h>

#include <thread>

#include "e2e/relay_util.h"

namespace {

std::string sha1(const std::string& s) {
  unsigned char md[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(s.data()), s.size(), md);
  return std::string(reinterpret_cast<char*>(md), sizeof md);
}

// Push data through the relay to an echo server while reading the echo
// back at the same time; true when everything came back unchanged.
bool stream_through(uint16_t port, const std::string& data) {
  e2e::client c(port);
  if (c.fd < 0) return false;
  bool sent = false;
  std::thread writer([&] { sent = harness::send_all(c.fd, data.data(), data.size(), 60000); });
  std::string back(data.size(), '\0');
  bool got = harness::recv_exact(c.fd, back.data(), back.size(), 60000);
  writer.join();
  return sent && got && sha1(back) == sha1(data);
}

class Sizes : public testing::TestWithParam<uint32_t> {};

TEST_P(Sizes, SmallExactAndLargeTransfers) {
  harness::server echo(harness::server::echo);
  uint16_t port = harness::free_port();
  uint32_t bufsize = GetParam();
  auto p = e2e::relay(port, echo.port, {"-buf=" + std::to_string(bufsize)});

  // One byte, exactly one buffer, one buffer and one byte.
  for (size_t n : {size_t(1), size_t(bufsize), size_t(bufsize) + 1}) {
    e2e::client c(port);
    ASSERT_GE(c.fd, 0);
    EXPECT_TRUE(e2e::echo_ok(c.fd, harness::random_bytes(n, uint32_t(n)))) << n << " bytes";
  }
  // 20 MB of random bytes, hash compared.
  EXPECT_TRUE(stream_through(port, harness::random_bytes(20u << 20, bufsize)));
  p.stop();
  EXPECT_EQ(p.out.find("rror"), std::string::npos) << p.out;
  EXPECT_EQ(p.out.find("****"), std::string::npos) << p.out;
}

INSTANTIATE_TEST_SUITE_P(Buffers, Sizes, testing::Values(512u, 8192u, 200000u));

TEST(Data, ClientThatSendsThenClosesLosesNothing) {
  harness::server sink(harness::server::sink);
  uint16_t port = harness::free_port();
  auto p = e2e::relay(port, sink.port, {"-buf=512"});
  const size_t n = 3u << 20;
  {
    e2e::client c(port);
    ASSERT_GE(c.fd, 0);
    std::string data = harness::random_bytes(n, 7);
    ASSERT_TRUE(harness::send_all(c.fd, data.data(), data.size()));
  }   // closed right after the last byte
  ASSERT_TRUE(p.wait_for("1: Connection closed", 20000)) << p.out;
  for (int i = 0; i < 200 && sink.bytes() < n; i++) usleep(10000);
  EXPECT_EQ(sink.bytes(), n);
  EXPECT_NE(p.out.find("1: ** Socket EOF on conn 1\n"), std::string::npos);
}

TEST(Data, ServerThatSendsThenClosesLosesNothing) {
  // A one-shot server: sends its data and closes.
  uint16_t srvport = 0;
  int lfd = e2e::listen_loopback(&srvport);
  ASSERT_GE(lfd, 0);
  const std::string data = harness::random_bytes(2u << 20, 9);
  std::thread srv([&] {
    int fd = ::accept(lfd, nullptr, nullptr);
    if (fd < 0) return;
    harness::send_all(fd, data.data(), data.size(), 20000);
    ::close(fd);
  });

  uint16_t port = harness::free_port();
  auto p = e2e::relay(port, srvport, {"-1"});
  {
    e2e::client c(port);
    bool eof = false;
    std::string got = harness::recv_until_eof(c.fd, 20000, &eof);
    EXPECT_TRUE(eof);
    EXPECT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data);
  }
  srv.join();
  ::close(lfd);
  EXPECT_EQ(p.wait_exit(), 0) << p.out;
  EXPECT_NE(p.out.find("1: ** Socket EOF on conn 2\n"), std::string::npos) << p.out;
}

}  // namespace
