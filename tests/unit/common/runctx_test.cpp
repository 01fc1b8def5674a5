// The run context's rings of timing values. The log's pieces (code page 1047
// in traces, time stamps, socket error lines) are checked by the relay's exit
// rows and the same-log test.
#include "common/runctx.h"
#include "unit/unitutil.h"

using namespace ut;

// The timing values that seed the nonces: each ring fills, then overwrites its
// oldest slot and never writes past its end.
TEST(Runctx, RingsFillThenOverwriteTheOldestSlot) {
  runctx ctx{};
  for (uint32_t i = 0; i < 7; i++) {
    addtimeval(1, &ctx);
    addtimeval(2, &ctx);
    EXPECT_EQ(ctx.num1, std::min(i + 1, RING1SLOTS)) << i;
    EXPECT_EQ(ctx.last1, i % RING1SLOTS) << i;
    EXPECT_EQ(ctx.num2, std::min(i + 1, RING2SLOTS)) << i;
    EXPECT_EQ(ctx.last2, i % RING2SLOTS) << i;
  }
  runctx before = ctx;
  addtimeval(0, &ctx);
  addtimeval(3, &ctx);
  EXPECT_EQ(memcmp(&before, &ctx, sizeof ctx), 0) << "other types touch nothing";
}
