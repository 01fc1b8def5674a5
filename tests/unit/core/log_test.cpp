// The console log routines: exact dump layout, the EBCDIC table, error texts
// and the time stamp.
#include <gtest/gtest.h>

#include <iconv.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "common/log.h"
#include "platform/clock.h"

namespace {

std::string dump(const std::vector<uint8_t>& data) {
  testing::internal::CaptureStdout();
  hexdump(data.data(), uint32_t(data.size()));
  fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

std::string errmsg(uint32_t connid, int err) {
  testing::internal::CaptureStdout();
  sockerrmsg(connid, err);
  fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

std::vector<uint8_t> range(uint8_t first, size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; i++) v[i] = uint8_t(first + i);
  return v;
}

}  // namespace

TEST(Hexdump, LineLayoutForShortFullAndLongerData) {
  EXPECT_EQ(dump({}), "");
  EXPECT_EQ(dump(range(0xC1, 5)), "0000: C1C2C3C4 C5 *ABCDE* *.....*\n");
  // The letters A to P: EBCDIC 0x41-0x4B are not printable in Latin-1 (0x4B is a '.').
  const std::string ap = "0000: 41424344 45464748 494A4B4C 4D4E4F50 *...........<(+|&* *ABCDEFGHIJKLMNOP*\n";
  EXPECT_EQ(dump(range(0x41, 16)), ap);
  EXPECT_EQ(dump(range(0x41, 17)), ap + "0010: 51 *.* *Q*\n");
  // EBCDIC 'A' is 0xC1; ASCII 'A' is a non-breaking space in EBCDIC.
  EXPECT_EQ(dump({0xC1, 0x41}), "0000: C141 *A.* *.A*\n");
  // Control bytes and bytes above 0x7E show as dots, each column judged on its own byte.
  EXPECT_EQ(dump({0x00, 0x0A, 0x7F, 0xFF, 0x25}), "0000: 000A7FFF 25 *..\"..* *....%*\n");

  std::string big = dump(range(0, 40));
  EXPECT_EQ(std::count(big.begin(), big.end(), '\n'), 3);
  EXPECT_NE(big.find("\n0010: 10111213 "), std::string::npos);
  EXPECT_NE(big.find("\n0020: 20212223 24252627 *"), std::string::npos);
  EXPECT_EQ(big.substr(big.size() - 13), "* * !\"#$%&'*\n");
}

TEST(Hexdump, LeavesTheCallersDataAlone) {
  std::vector<uint8_t> data = range(0x40, 33);
  std::vector<uint8_t> copy = data;
  dump(data);
  EXPECT_EQ(data, copy);
}

TEST(Ebcdic, CodePage1047Table) {
  uint8_t all[256];
  for (int i = 0; i < 256; i++) all[i] = uint8_t(i);
  EXPECT_EQ(ebcdictoascii(all, 256), 256u);

  // The six positions where 1047 differs from 037, then common letters and controls.
  EXPECT_EQ(all[0x5F], 0x5E);
  EXPECT_EQ(all[0xAD], 0x5B);
  EXPECT_EQ(all[0xB0], 0xAC);
  EXPECT_EQ(all[0xBA], 0xDD);
  EXPECT_EQ(all[0xBB], 0xA8);
  EXPECT_EQ(all[0xBD], 0x5D);
  EXPECT_EQ(all[0xC1], 0x41);
  EXPECT_EQ(all[0x81], 0x61);
  EXPECT_EQ(all[0xF0], 0x30);
  EXPECT_EQ(all[0x40], 0x20);
  EXPECT_EQ(all[0x15], 0x85);
  EXPECT_EQ(all[0x25], 0x0A);
  EXPECT_EQ(all[0x41], 0xA0);

  // Every byte has exactly one image: the code page maps one-to-one.
  bool seen[256] = {};
  for (int i = 0; i < 256; i++) {
    EXPECT_FALSE(seen[all[i]]) << "0x" << std::hex << int(all[i]) << " twice";
    seen[all[i]] = true;
  }

  // An independent reference: the IBM1047 converter of the C library, where present.
  iconv_t cd = iconv_open("ISO-8859-1", "IBM1047");
  if (cd == iconv_t(-1)) GTEST_SKIP() << "no IBM1047 converter to compare with";
  char in[256], out[256];
  for (int i = 0; i < 256; i++) in[i] = char(i);
  char* ip = in;
  char* op = out;
  size_t il = 256, ol = 256;
  size_t rc = iconv(cd, &ip, &il, &op, &ol);
  iconv_close(cd);
  ASSERT_NE(rc, size_t(-1));
  ASSERT_EQ(ol, 0u);
  for (int i = 0; i < 256; i++) EXPECT_EQ(all[i], uint8_t(out[i])) << "at 0x" << std::hex << i;
}

TEST(Sockerrmsg, PrefixAndKnownCodesOnly) {
  EXPECT_EQ(errmsg(0, 10061), "   (WSAECONNREFUSED: connection refused)\n");
  EXPECT_EQ(errmsg(7, 10054), "7:    (WSAECONNRESET: connection reset by peer)\n");
  EXPECT_EQ(errmsg(4000000000u, 10048),
            "4000000000:    (WSAEADDRINUSE: addr in use, try a different listenport)\n");
  EXPECT_EQ(errmsg(0, 10065), "   (WSAEHOSTUNREACH: host unreachable)\n");
  EXPECT_EQ(errmsg(1, 10035), "");
  EXPECT_EQ(errmsg(0, 10038), "");
  EXPECT_EQ(errmsg(0, 0), "");
  EXPECT_EQ(errmsg(0, -1), "");
  // Exactly twelve codes between 10000 and 11999 have a line.
  int known = 0;
  for (int code = 10000; code < 12000; code++)
    if (!errmsg(0, code).empty()) known++;
  EXPECT_EQ(known, 12);
}

TEST(Tstamp, LocalDateAndTime) {
  time_t before = time(nullptr);
  char out[TSTAMPLEN];
  memset(out, 'x', sizeof out);
  tstamp(out);
  time_t after = time(nullptr);
  std::string s(out);
  ASSERT_EQ(s.size(), 19u);
  EXPECT_TRUE(std::regex_match(s, std::regex(R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2})"))) << s;
  // Equal to the local time read just before or just after.
  char b[32], a[32];
  struct tm tb, ta;
  localtime_r(&before, &tb);
  localtime_r(&after, &ta);
  strftime(b, sizeof b, "%Y/%m/%d %H:%M:%S", &tb);
  strftime(a, sizeof a, "%Y/%m/%d %H:%M:%S", &ta);
  EXPECT_TRUE(s == b || s == a) << s << " vs " << b;
}

TEST(Clock, TickCountFollowsElapsedMilliseconds) {
  uint32_t t0 = tickcount();
  usleep(50000);
  uint32_t dt = tickcount() - t0;   // unsigned, as the loop computes it
  EXPECT_GE(dt, 49u);
  EXPECT_LT(dt, 2000u);
}
