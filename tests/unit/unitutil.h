// Helpers of the unit tests: hex text, captured log output, the test's
// temporary folder, a clock, loopback listeners, and each SHA-1 compression path.
// The set-up all of them run in (socket layer, state folder) is in unitenv.cpp.
#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "common/paramrec.h"
#include "crypto/sha1_impl.h"
#include "platform/net.h"
#include "support/testdir.h"

namespace ut {

using harness::file, harness::slurp, harness::testdir;

using bytes = std::vector<uint8_t>;

// netgranted: the Winsock version net_startup granted the test binary (unitenv.cpp).
extern uint16_t netgranted;

// hex(s): the bytes the hex digits of s spell; tohex(p, n): n bytes as lower-case hex.
inline bytes hex(const std::string& s) {
  bytes v;
  for (size_t i = 0; i + 1 < s.size(); i += 2)
    v.push_back(uint8_t(std::stoul(s.substr(i, 2), nullptr, 16)));
  return v;
}
inline std::string tohex(const uint8_t* p, size_t n) {
  std::string s;
  for (size_t i = 0; i < n; i++)
    s += {"0123456789abcdef"[p[i] >> 4], "0123456789abcdef"[p[i] & 15]};
  return s;
}
inline std::string tohex(const bytes& v) { return tohex(v.data(), v.size()); }
inline bytes random(std::mt19937& rng, size_t n) {
  bytes v(n);
  for (auto& b : v) b = uint8_t(rng());
  return v;
}
// le32(v): v as four bytes, least significant first.
inline std::string le32(uint32_t v) {
  return {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
}
// seedrec(tag, s): a seed record with the states x1, y1, x2, y2.
inline std::string seedrec(const char* tag, const uint32_t s[4]) {
  return tag + le32(s[0]) + le32(s[1]) + le32(s[2]) + le32(s[3]);
}

// out(f): what f prints to standard output; ms(): a millisecond clock.
template <class F>
std::string out(F&& f) {
  fflush(stdout);
  testing::internal::CaptureStdout();
  f();
  fflush(stdout);
  return testing::internal::GetCapturedStdout();
}
inline uint64_t ms() {
  return uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count());
}

// ipv4(a, b, c, d): the address a.b.c.d as the socket layer holds it.
inline uint32_t ipv4(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  const uint8_t o[4] = {a, b, c, d};
  uint32_t v;
  memcpy(&v, o, 4);
  return v;
}
const uint32_t LOOPBACK = ipv4(127, 0, 0, 1);

// listener(port, backlog): a socket bound to a loopback port picked at random,
// listening unless backlog is 0; NET_INVALID when no port was free.
inline sockh listener(uint16_t* port, int backlog = 64) {
  std::random_device rd;
  for (int i = 0; i < 100; i++) {
    sockh h = net_socket();
    *port = uint16_t(20000 + rd() % 40000);
    if (net_bind(h, LOOPBACK, *port) == 0 && (backlog == 0 || net_listen(h, backlog) == 0))
      return h;
    net_close(h);
  }
  return NET_INVALID;
}

// each_sha1path(f): f() on every SHA-1 compression path this processor runs, then the default path
// again.
template <class F>
void each_sha1path(F f) {
  for (sha1path p : {sha1path::portable, sha1path::shani}) {
    SCOPED_TRACE(p == sha1path::shani ? "SHA instructions" : "portable");
    if (sha1usepath(p)) f();
  }
  sha1usepath(sha1canuse(sha1path::shani) ? sha1path::shani : sha1path::portable);
}

}   // namespace ut
