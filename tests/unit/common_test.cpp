// The shared pieces of the log and the run context: code page 1047, the clock,
// the time stamp and the rings of timing values. The socket error lines are
// checked by the relay's exit rows.
#include <ctime>
#include <thread>

#include "common/log.h"
#include "common/runctx.h"
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

// The timing values that seed the nonces: each ring fills, then overwrites its
// oldest slot and never writes past its end.
TEST(Runctx, RingsFillThenOverwriteTheOldestSlot) {
  runctx ctx{};
  for (uint32_t i = 0; i < 7; i++) {
    addtimeval(1, &ctx), addtimeval(2, &ctx);
    EXPECT_TRUE(ctx.num1 == std::min(i + 1, RING1SLOTS) && ctx.last1 == i % RING1SLOTS) << i;
    EXPECT_TRUE(ctx.num2 == std::min(i + 1, RING2SLOTS) && ctx.last2 == i % RING2SLOTS) << i;
  }
  runctx before = ctx;
  addtimeval(0, &ctx), addtimeval(3, &ctx);
  EXPECT_EQ(memcmp(&before, &ctx, sizeof ctx), 0) << "other types touch nothing";
}
