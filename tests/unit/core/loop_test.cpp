// The phases of the event loop around select(): building the sets with the
// inactivity check, and the close pass. Connections are made by hand; their
// socket handles are numbers no socket has, since nothing is sent.
#include "core/loop.h"

#include "core/tables.h"
#include "unit/unitutil.h"

using namespace ut;

namespace {

class Loop : public testing::Test {
 protected:
  void SetUp() override {
    ctx.paramrec = &prm;
    ctx.servtbl = servtbl;
    ctx.soctbl = soctbl;
    lc.numsoctbl = &numsoctbl;
    lc.numsrvent = &numsrvent;
  }
  void TearDown() override {
    for (uint32_t j = 0; j < SRVTBL_MAX; j++)
      freesrvent(j, &ctx, servtbl, &numsrvent, soctbl, &numsoctbl);
    for (uint32_t i = 0; i < SOCTBL_MAX; i++) ptbldel((void**)soctbl, &numsoctbl, i);
  }
  // entry(): a new socket entry; conn(): a new connection with its two socket entries; side(j, n):
  // its conn n.
  socent* entry() {
    uint32_t i = 0;
    EXPECT_EQ(ptbladd((void**)soctbl, &numsoctbl, &i, SOCTBL_MAX, sizeof(socent)), 0u);
    soctbl[i]->soc = 0x70000000 + i;
    return soctbl[i];
  }
  uint32_t conn() {
    uint32_t j = 0;
    EXPECT_EQ(ptbladd((void**)servtbl, &numsrvent, &j, SRVTBL_MAX, sizeof(srvent)), 0u);
    socent *a = entry(), *b = entry();
    srvent* c = servtbl[j];
    c->soci1 = a->soc - 0x70000000;
    c->soci2 = b->soc - 0x70000000;
    c->socn1 = a->soc;
    c->socn2 = b->soc;
    c->bufsize = 1;
    c->buf1 = (uint8_t*)malloc(1);
    c->buf2 = (uint8_t*)malloc(1);
    a->conn = 1;
    b->conn = 2;
    a->enti = b->enti = j;
    return j;
  }
  socent* side(uint32_t j, int n) { return soctbl[n == 1 ? servtbl[j]->soci1 : servtbl[j]->soci2]; }
  std::string build(uint32_t passtime) {
    pc.passtime = passtime;
    return out([&] { buildsets(&lc, &ctx, &pc); });
  }

  paramrec prm{};
  runctx ctx{};
  srvent* servtbl[SRVTBL_MAX] = {};
  socent* soctbl[SOCTBL_MAX] = {};
  uint32_t numsrvent = 0, numsoctbl = 0;
  loopctx lc{};
  passctx pc{};
};

}   // namespace

TEST_F(Loop, InactivityLimitAcrossTheTickWrapAndTheRestingListener) {
  socent* l = entry();   // the listener: never timed out
  l->stype = 1;
  l->oper = OP_ACCEPT;
  uint32_t j = conn();
  uint32_t k = conn();   // waits to read on both sides: waiting to read is not inactivity
  for (socent* s : {side(j, 1), side(j, 2), side(k, 1), side(k, 2)}) s->lasttime = 0xFFFF0000u;
  side(k, 1)->oper = side(k, 2)->oper = OP_RD;
  EXPECT_EQ(build(0xFFFF0000u + INACTIVITY_MS), "");   // exactly the limit, across the wrap
  EXPECT_EQ(numsrvent, 2u);
  std::string log = build(0xFFFF0000u + INACTIVITY_MS + 1);
  EXPECT_EQ(log.rfind("1: ** Inactivity timeout for conn 1. Closing both sockets ", 0), 0u) << log;
  EXPECT_EQ(servtbl[j], nullptr) << "the inactive connection stays";
  EXPECT_NE(servtbl[k], nullptr) << "the reading connection is closed";
  EXPECT_TRUE(sockset_has(&pc.rd, l->soc)) << "the listener is not in the read set";
  EXPECT_FALSE(sockset_has(&pc.ex, l->soc)) << "the listener is in the exception set";
  // After a failed accept the listener rests in the exception set: alone, it
  // still gives the pass something to wait on.
  lc.acceptrest = 1;
  lc.acceptfailtick = 5000;
  build(5000 + ACCEPT_REST_MS - 1);
  EXPECT_FALSE(sockset_has(&pc.rd, l->soc)) << "resting";
  EXPECT_TRUE(sockset_has(&pc.ex, l->soc)) << "resting";
  EXPECT_TRUE(pc.exused) << "resting";
  build(5000 + ACCEPT_REST_MS);
  EXPECT_TRUE(sockset_has(&pc.rd, l->soc)) << "rested";
  EXPECT_FALSE(pc.exused) << "rested";
  EXPECT_EQ(lc.acceptrest, 0u) << "rested";
}

TEST_F(Loop, AFinishedSideWaitsForAPartnerStillSending) {
  // Order: closerc and oper of side 1, of side 2, whether the pass closes the connection.
  const uint32_t rows[][5] = {{0, OP_RD, 0, OP_RD, 0},
                              {CLOSE_EOF, 0, 0, OP_RD, 1},
                              {CLOSE_EOF, 0, 0, OP_RD | OP_WR, 0},
                              {CLOSE_SOCKERR, 0, CLOSE_EOF, 0, 1},
                              {0, OP_RD, CLOSE_EOF, 0, 1},
                              {0, OP_WR, CLOSE_TUNNEL, 0, 0}};
  for (const auto& r : rows) {
    uint32_t j = conn();
    side(j, 1)->closerc = r[0];
    side(j, 1)->oper = r[1];
    side(j, 2)->closerc = r[2];
    side(j, 2)->oper = r[3];
    std::string log = out([&] { closepass(&lc, &ctx); });
    EXPECT_EQ(servtbl[j] == nullptr, r[4] == 1)
        << r[0] << " " << r[1] << " " << r[2] << " " << r[3];
    EXPECT_EQ(log.rfind("1: Connection closed ", 0) == 0, r[4] == 1) << log;
    freesrvent(j, &ctx, servtbl, &numsrvent, soctbl, &numsoctbl);
  }
}
