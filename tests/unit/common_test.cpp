// The shared pieces of the log and the run context: code page 1047, socket
// error lines, the clock and time stamp, and the rings of timing values.
#include <ctime>
#include <thread>

#include "common/log.h"
#include "common/runctx.h"
#include "platform/clock.h"
#include "unit/unitutil.h"

using namespace ut;

TEST(Log, CodePage1047SocketErrorLinesClockAndTimeStamp) {
  // The six places where 1047 differs from 037, then letters, a digit, blank and new line.
  bytes b = hex("5fadb0babbbdc181f04025");
  EXPECT_EQ(ebcdictoascii(b.data(), uint32_t(b.size())), b.size());
  EXPECT_EQ(tohex(b), "5e5bacdda85d416130200a");

  const struct { uint32_t connid; int code; const char* line; } rows[] = {
      {0, 10061, "   (WSAECONNREFUSED: connection refused)\n"},
      {7, 10054, "7:    (WSAECONNRESET: connection reset by peer)\n"},
      {4000000000u, 10048, "4000000000:    (WSAEADDRINUSE: addr in use, try a different listenport)\n"},
      {0, 10065, "   (WSAEHOSTUNREACH: host unreachable)\n"}, {1, 10035, ""}, {0, 0, ""}, {0, -1, ""}};
  for (const auto& r : rows) EXPECT_EQ(out([&] { sockerrmsg(r.connid, r.code); }), r.line);

  // The stamp is the local time read just before or just after it.
  char ts[TSTAMPLEN], before[32], after[32];
  uint32_t t0 = tickcount();
  std::time_t now = std::time(nullptr);
  std::strftime(before, sizeof before, "%Y/%m/%d %H:%M:%S", std::localtime(&now));
  tstamp(ts);
  now = std::time(nullptr);
  std::strftime(after, sizeof after, "%Y/%m/%d %H:%M:%S", std::localtime(&now));
  EXPECT_TRUE(std::string(ts) == before || std::string(ts) == after) << ts << " " << before;
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(tickcount() - t0 >= 49 && tickcount() - t0 < 2000) << tickcount() - t0;
}

TEST(Runctx, RingsFillThenOverwriteTheOldestSlot) {
  runctx ctx{};
  memset(ctx.ticks1, 0xFF, sizeof ctx.ticks1), memset(ctx.ticks2, 0xFF, sizeof ctx.ticks2);
  for (uint32_t i = 0; i < 7; i++) {
    addtimeval(1, &ctx), addtimeval(2, &ctx);
    EXPECT_TRUE(ctx.num1 == std::min(i + 1, RING1SLOTS) && ctx.last1 == i % RING1SLOTS) << i;
    EXPECT_TRUE(ctx.num2 == std::min(i + 1, RING2SLOTS) && ctx.last2 == i % RING2SLOTS) << i;
  }
  for (uint32_t t : ctx.ticks1) EXPECT_NE(t, 0xFFFFFFFFu);
  for (uint32_t t : ctx.ticks2) EXPECT_NE(t, 0xFFFFFFFFu);
  runctx before = ctx;
  addtimeval(0, &ctx), addtimeval(3, &ctx);
  EXPECT_EQ(memcmp(&before, &ctx, sizeof ctx), 0) << "other types touch nothing";
}
