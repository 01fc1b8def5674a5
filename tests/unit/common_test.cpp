// The shared pieces of the log and the run context: code page 1047, socket
// error lines, the time stamp, and the rings of timing values.
#include "common/log.h"
#include "common/runctx.h"
#include "unit/unitutil.h"

using namespace ut;

TEST(Log, CodePage1047SocketErrorLinesAndTimeStamp) {
  // The six places where 1047 differs from 037, then letters, a digit, blank and new line.
  bytes b = hex("5fadb0babbbdc181f04025");
  EXPECT_EQ(ebcdictoascii(b.data(), uint32_t(b.size())), b.size());
  EXPECT_EQ(tohex(b), "5e5bacdda85d416130200a");

  const struct {
    uint32_t connid;
    int code;
    const char* line;
  } rows[] = {{0, 10061, "   (WSAECONNREFUSED: connection refused)\n"},
              {7, 10054, "7:    (WSAECONNRESET: connection reset by peer)\n"},
              {4000000000u, 10048, "4000000000:    (WSAEADDRINUSE: addr in use, try a different listenport)\n"},
              {0, 10065, "   (WSAEHOSTUNREACH: host unreachable)\n"},
              {1, 10035, ""}, {0, 0, ""}, {0, -1, ""}};
  for (const auto& r : rows) EXPECT_EQ(out([&] { sockerrmsg(r.connid, r.code); }), r.line);

  char ts[TSTAMPLEN];
  tstamp(ts);
  std::string s = ts, shape = s;
  for (char& c : shape) c = c >= '0' && c <= '9' ? '9' : c;
  EXPECT_EQ(shape, "9999/99/99 99:99:99") << s;
}

TEST(Runctx, RingsFillThenOverwriteTheOldestSlot) {
  runctx ctx{};
  memset(ctx.ticks1, 0xFF, sizeof ctx.ticks1), memset(ctx.ticks2, 0xFF, sizeof ctx.ticks2);
  for (uint32_t i = 0; i < 7; i++) {
    addtimeval(1, &ctx), addtimeval(2, &ctx);
    EXPECT_EQ(ctx.num1, std::min(i + 1, RING1SLOTS));
    EXPECT_EQ(ctx.last1, i % RING1SLOTS);
    EXPECT_EQ(ctx.num2, std::min(i + 1, RING2SLOTS));
    EXPECT_EQ(ctx.last2, i % RING2SLOTS);
  }
  for (uint32_t t : ctx.ticks1) EXPECT_NE(t, 0xFFFFFFFFu);
  for (uint32_t t : ctx.ticks2) EXPECT_NE(t, 0xFFFFFFFFu);
  runctx before = ctx;
  addtimeval(0, &ctx), addtimeval(3, &ctx);
  EXPECT_EQ(memcmp(&before, &ctx, sizeof ctx), 0) << "other types touch nothing";
}
