// Phases of the event loop on real connections: building the sets with the
// inactivity check, and the close pass.
#include "core/loop.h"

#include "core/progexit.h"
#include "unit/core/conn_fixture.h"

namespace {

class Loop : public Conn {
 protected:
  void SetUp() override {
    Conn::SetUp();
    lc.numsoctbl = &numsoctbl;
    lc.numsrvent = &numsrvent;
  }
  // A new connection; its Server Table index.
  uint32_t conn() {
    uint32_t idx = 0;
    std::string out;
    EXPECT_EQ(add(accepted(), &idx, &out), 0u);
    return idx;
  }
  socent* side(uint32_t idx, int which) {
    return soctbl[which == 1 ? servtbl[idx]->soci1 : servtbl[idx]->soci2];
  }
  // The listening socket's entry, waiting to accept.
  uint32_t listener() {
    uint32_t idx = 0;
    EXPECT_EQ(ptbladd(reinterpret_cast<void**>(soctbl), &numsoctbl, &idx, SOCTBL_MAX, sizeof(socent)), 0u);
    soctbl[idx]->soc = uint32_t(lfd);
    soctbl[idx]->stype = 1;
    soctbl[idx]->oper = OP_ACCEPT;
    return idx;
  }
  std::string build(uint32_t passtime) {
    pc.passtime = passtime;
    fflush(stdout);
    testing::internal::CaptureStdout();
    buildsets(&lc, &ctx, &pc);
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
  }
  loopctx lc{};
  passctx pc{};
};

TEST_F(Loop, SetsFollowTheOperations) {
  uint32_t j = conn();
  socent* a = side(j, 1);
  socent* b = side(j, 2);
  a->oper = OP_RD | OP_WR;
  b->oper = OP_CONNECT;
  a->lasttime = b->lasttime = 1000;
  EXPECT_EQ(build(2000), "");
  EXPECT_TRUE(sockset_has(&pc.rd, a->soc));
  EXPECT_TRUE(sockset_has(&pc.wr, a->soc));
  EXPECT_FALSE(sockset_has(&pc.ex, a->soc));
  EXPECT_FALSE(sockset_has(&pc.rd, b->soc));
  EXPECT_TRUE(sockset_has(&pc.wr, b->soc));
  EXPECT_TRUE(sockset_has(&pc.ex, b->soc));
  // Waiting to read counts as activity; waiting for a connect does not.
  EXPECT_EQ(a->lasttime, 2000u);
  EXPECT_EQ(b->lasttime, 1000u);
}

TEST_F(Loop, InactivityLimitAndTickWrap) {
  uint32_t l = listener();   // never timed out, and keeps the sets from running empty
  soctbl[l]->lasttime = 0;
  uint32_t j = conn();
  socent* a = side(j, 1);
  socent* b = side(j, 2);
  a->oper = b->oper = 0;   // idle: the partner's write is stuck, say

  // Ticks just before the wrap: 16 ms of idleness is nothing.
  a->lasttime = b->lasttime = 0xFFFF0000u;
  EXPECT_EQ(build(0xFFFF0010u), "");
  EXPECT_EQ(numsrvent, 1u);
  // Exactly the limit, reached across the wrap, is not yet too long ...
  EXPECT_EQ(build(0xFFFF0000u + INACTIVITY_MS), "");
  EXPECT_EQ(numsrvent, 1u);
  // ... one millisecond more closes the connection and both its sockets.
  std::string out = build(0xFFFF0000u + INACTIVITY_MS + 1);
  EXPECT_EQ(out.rfind("1: ** Inactivity timeout for conn 1. Closing both sockets ", 0), 0u) << out;
  EXPECT_EQ(numsrvent, 0u);
  EXPECT_EQ(numsoctbl, 1u);
  EXPECT_TRUE(harness::wait_closed(clients[0], 2000));

  // Idle since well before the wrap, seen just after it: timed out.
  j = conn();
  side(j, 1)->lasttime = side(j, 2)->lasttime = 0xFFE00000u;
  side(j, 2)->oper = OP_WR;
  out = build(0x00000100u);
  EXPECT_EQ(out.rfind("1: ** Inactivity timeout for conn 1.", 0), 0u) << out;
  EXPECT_EQ(numsrvent, 0u);
  EXPECT_TRUE(sockset_has(&pc.rd, uint32_t(lfd)));
  ptbldel(reinterpret_cast<void**>(soctbl), &numsoctbl, l);
}

TEST_F(Loop, RestingListenerWaitsInTheExceptionSet) {
  uint32_t idx = listener();
  lc.acceptrest = 1;
  lc.acceptfailtick = 5000;
  build(5000 + ACCEPT_REST_MS - 1);
  EXPECT_FALSE(sockset_has(&pc.rd, uint32_t(lfd)));
  EXPECT_TRUE(sockset_has(&pc.ex, uint32_t(lfd)));
  EXPECT_TRUE(pc.exused);
  build(5000 + ACCEPT_REST_MS);
  EXPECT_TRUE(sockset_has(&pc.rd, uint32_t(lfd)));
  EXPECT_FALSE(pc.exused);
  EXPECT_EQ(lc.acceptrest, 0u);
  ptbldel(reinterpret_cast<void**>(soctbl), &numsoctbl, idx);
}

TEST_F(Loop, NothingToWaitForEndsTheProgram) {
  EXPECT_EXIT(build(1), testing::ExitedWithCode(int(EX_NOWORK)),
              "");   // the message goes to stdout
  uint32_t j = conn();
  side(j, 1)->oper = side(j, 2)->oper = 0;
  EXPECT_EXIT(build(1), testing::ExitedWithCode(int(EX_NOWORK)), "");
}

// One row of the close rule: the sides' closerc and oper, and the verdict.
struct closecase {
  uint32_t arc, aoper, brc, boper;
  bool closes;
};

TEST_F(Loop, ClosePassWaitsForAPartnerStillSending) {
  const closecase cases[] = {
      {0, OP_RD, 0, OP_RD, false},
      {CLOSE_EOF, 0, 0, OP_RD, true},
      {CLOSE_EOF, 0, 0, OP_RD | OP_WR, false},   // the partner is still sending
      {CLOSE_SOCKERR, 0, CLOSE_EOF, 0, true},
      {0, OP_RD, CLOSE_EOF, 0, true},
      {0, OP_WR, CLOSE_TUNNEL, 0, false},
      {0, OP_RD | OP_WR, CLOSE_SOCKERR, 0, false},
  };
  for (const closecase& c : cases) {
    uint32_t j = conn();
    side(j, 1)->closerc = c.arc, side(j, 1)->oper = c.aoper;
    side(j, 2)->closerc = c.brc, side(j, 2)->oper = c.boper;
    fflush(stdout);
    testing::internal::CaptureStdout();
    closepass(&lc, &ctx);
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(servtbl[j] == nullptr, c.closes) << c.arc << " " << c.aoper << " " << c.brc << " " << c.boper;
    EXPECT_EQ(out.rfind("1: Connection closed ", 0) == 0, c.closes) << out;
    if (servtbl[j]) freesrvent(j, &ctx, servtbl, &numsrvent, soctbl, &numsoctbl);
  }
}

}  // namespace
