// The shared pieces of the log: code page 1047, the clock and the time stamp.
// The socket error lines are checked by the relay's exit rows.
#include <ctime>
#include <thread>

#include "common/log.h"
#include "platform/clock.h"
#include "unit/unitutil.h"

using namespace ut;

TEST(Log, CodePage1047ClockAndTimeStamp) {
  // The six places where 1047 differs from 037, then letters, a digit, blank and new line.
  bytes b = hex("5fadb0babbbdc181f04025");
  EXPECT_EQ(ebcdictoascii(b.data(), uint32_t(b.size())), b.size());
  EXPECT_EQ(tohex(b), "5e5bacdda85d416130200a");

  // The stamp is the local time read just before or just after it.
  auto now = [] {
    char s[32];
    std::time_t t = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::strftime(s, sizeof s, "%Y/%m/%d %H:%M:%S", std::localtime(&t));
    return std::string(s);
  };
  char ts[TSTAMPLEN];
  uint32_t t0 = tickcount();
  std::string before = now();
  tstamp(ts);
  EXPECT_TRUE(ts == before || ts == now()) << ts << " " << before;
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(tickcount() - t0 >= 49 && tickcount() - t0 < 2000) << tickcount() - t0;
}
