// The set-up of a connection and the phases of the event loop, on real
// loopback sockets through the platform layer.
#include "core/loop.h"

#include "core/progexit.h"
#include "core/tables.h"
#include "unit/unitutil.h"

using namespace ut;

namespace {

// A run context with default parameters, empty tables and a loopback listener.
class Loop : public testing::Test {
 protected:
  void SetUp() override {
    prm.encrtype = ENCR_RC4, prm.ctxsize = CTXSIZE_RC4, prm.msglenmult = 256;
    ctx.paramrec = &prm, ctx.servtbl = servtbl, ctx.soctbl = soctbl, ctx.bufsize = 1000;
    lc.numsoctbl = &numsoctbl, lc.numsrvent = &numsrvent;
    ASSERT_NE(l = listener(&port), NET_INVALID);
  }
  void TearDown() override {
    clear();
    for (sockh c : clients) net_close(c);
    net_close(l);
  }
  // clear(): free every connection, then whatever else the tables hold.
  void clear() {
    for (uint32_t j = 0; j < SRVTBL_MAX; j++)
      if (servtbl[j] && servtbl[j]->bufsize) freesrvent(j, &ctx, servtbl, &numsrvent, soctbl, &numsoctbl);
    for (uint32_t i = 0; i < SOCTBL_MAX; i++) ptbldel((void**)soctbl, &numsoctbl, i);
    for (uint32_t j = 0; j < SRVTBL_MAX; j++) ptbldel((void**)servtbl, &numsrvent, j);
  }
  // add(fromclient): addsrvent on the accepted socket of a new client (or on a socket with no peer); its result and log.
  std::pair<uint32_t, std::string> add(bool fromclient = true) {
    uint32_t rc = 9;
    sockh s = net_socket();
    if (fromclient) clients.push_back(s), net_connect(s, LOOPBACK, port), s = net_accept(l, nullptr, nullptr);
    std::string log = out([&] { rc = addsrvent(s, &ctx, servtbl, &numsrvent, &idx, soctbl, &numsoctbl); });
    return {rc, log};
  }
  socent* side(uint32_t j, int n) { return soctbl[n == 1 ? servtbl[j]->soci1 : servtbl[j]->soci2]; }
  // conn(): a new connection's index; closed(c): the relay closed client c within a second.
  uint32_t conn() {
    EXPECT_EQ(add(), std::make_pair(0u, std::string()));
    return idx;
  }
  bool closed(sockh c) {
    sockset s{1, {c}};
    char b;
    return net_select(&s, nullptr, nullptr, 1000) == 1 && net_recv(c, &b, 1) == 0;
  }
  std::string build(uint32_t passtime) {
    pc.passtime = passtime;
    return out([&] { buildsets(&lc, &ctx, &pc); });
  }

  paramrec prm{};
  runctx ctx{};
  srvent* servtbl[SRVTBL_MAX] = {};
  socent* soctbl[SOCTBL_MAX] = {};
  uint32_t numsrvent = 0, numsoctbl = 0, idx = 0;
  loopctx lc{};
  passctx pc{};
  sockh l = NET_INVALID;
  uint16_t port = 0;
  std::vector<sockh> clients;
};

}  // namespace

TEST_F(Loop, AConnectionIsMadeWholeOrTheTablesStayAsTheyWere) {
  uint32_t j = conn();
  const srvent* e = servtbl[j];
  EXPECT_TRUE(numsrvent == 1 && numsoctbl == 2 && e->socn1 == side(j, 1)->soc && e->socn2 == side(j, 2)->soc && e->peeraddr == LOOPBACK);
  EXPECT_TRUE(side(j, 1)->conn == 1 && side(j, 2)->conn == 2 && side(j, 1)->enti == j && side(j, 2)->enti == j && e->bufsize == 1000);
  side(j, 2)->encrctx = (uint8_t*)malloc(CTXSIZE_RC4);   // the entry owns it: the leak checker watches
  freesrvent(j, &ctx, servtbl, &numsrvent, soctbl, &numsoctbl);
  EXPECT_TRUE(numsrvent == 0 && numsoctbl == 0 && closed(clients[0]));
  const char* const rows[] = {
      "  Connection refused by IP address filter.\n",
      "** Error: Server Table is full. Connection rejected.\n",
      "** Error: Socket Table is full. Connection rejected.\n",
      "** Error 10057 from getpeername() call for socnew\n   (WSAENOTCONN: not connected)\n",   // a socket with no peer
  };
  for (int why = 0; why < 4; why++) {
    prm.numfilt = why == 0, prm.filttype[0] = FILT_DENY, prm.filtlen[0] = 1, prm.filtaddr[0] = 127;
    for (uint32_t k = 0; why == 1 && k < SRVTBL_MAX; k++) ptbladd((void**)servtbl, &numsrvent, &idx, SRVTBL_MAX, sizeof(srvent));
    for (uint32_t k = 0; why == 2 && k < SOCTBL_MAX - 1; k++) ptbladd((void**)soctbl, &numsoctbl, &idx, SOCTBL_MAX, sizeof(socent));
    uint32_t srv = numsrvent, soc = numsoctbl;
    EXPECT_EQ(add(why != 3), std::make_pair(1u, std::string(rows[why])));
    EXPECT_TRUE(numsrvent == srv && numsoctbl == soc && soctbl[SOCTBL_MAX - 1] == nullptr && (why == 3 || closed(clients.back()))) << rows[why];
    clear();
  }
}

TEST_F(Loop, SetsFollowTheOperationsNothingToWaitForEndsTheProgram) {
  uint32_t j = conn();
  socent *a = side(j, 1), *b = side(j, 2);
  a->oper = OP_RD | OP_WR, b->oper = OP_CONNECT, a->lasttime = b->lasttime = 1000;
  EXPECT_EQ(build(2000), "");
  EXPECT_TRUE(sockset_has(&pc.rd, a->soc) && sockset_has(&pc.wr, a->soc) && !sockset_has(&pc.ex, a->soc));
  EXPECT_TRUE(!sockset_has(&pc.rd, b->soc) && sockset_has(&pc.wr, b->soc) && sockset_has(&pc.ex, b->soc));
  EXPECT_TRUE(a->lasttime == 2000 && b->lasttime == 1000) << "waiting to read counts as activity, to connect not";
  a->oper = b->oper = 0;
  EXPECT_EXIT(build(2000), testing::ExitedWithCode(int(EX_NOWORK)), "");
}

TEST_F(Loop, InactivityLimitAcrossTheTickWrapAndTheRestingListener) {
  ASSERT_EQ(ptbladd((void**)soctbl, &numsoctbl, &idx, SOCTBL_MAX, sizeof(socent)), 0u);
  soctbl[idx]->soc = l, soctbl[idx]->stype = 1, soctbl[idx]->oper = OP_ACCEPT;   // never timed out
  uint32_t j = conn();
  side(j, 1)->lasttime = side(j, 2)->lasttime = 0xFFFF0000u;
  EXPECT_EQ(build(0xFFFF0000u + INACTIVITY_MS), "");   // exactly the limit, across the wrap
  EXPECT_EQ(numsrvent, 1u);
  std::string log = build(0xFFFF0000u + INACTIVITY_MS + 1);
  EXPECT_EQ(log.rfind("1: ** Inactivity timeout for conn 1. Closing both sockets ", 0), 0u) << log;
  EXPECT_TRUE(numsrvent == 0 && numsoctbl == 1 && closed(clients[0]) && sockset_has(&pc.rd, l) && !sockset_has(&pc.ex, l));
  // After a failed accept the listener rests in the exception set.
  lc.acceptrest = 1, lc.acceptfailtick = 5000;
  build(5000 + ACCEPT_REST_MS - 1);
  EXPECT_TRUE(!sockset_has(&pc.rd, l) && sockset_has(&pc.ex, l) && pc.exused);
  build(5000 + ACCEPT_REST_MS);
  EXPECT_TRUE(sockset_has(&pc.rd, l) && !pc.exused && lc.acceptrest == 0);
}

TEST_F(Loop, AFinishedSideWaitsForAPartnerStillSending) {
  // Order: closerc and oper of side 1, of side 2, whether the pass closes the connection.
  const uint32_t rows[][5] = {{0, OP_RD, 0, OP_RD, 0},           {CLOSE_EOF, 0, 0, OP_RD, 1},   {CLOSE_EOF, 0, 0, OP_RD | OP_WR, 0},
                              {CLOSE_SOCKERR, 0, CLOSE_EOF, 0, 1}, {0, OP_RD, CLOSE_EOF, 0, 1}, {0, OP_WR, CLOSE_TUNNEL, 0, 0}};
  for (const auto& r : rows) {
    uint32_t j = conn();
    side(j, 1)->closerc = r[0], side(j, 1)->oper = r[1], side(j, 2)->closerc = r[2], side(j, 2)->oper = r[3];
    std::string log = out([&] { closepass(&lc, &ctx); });
    EXPECT_EQ(servtbl[j] == nullptr, r[4] == 1) << r[0] << " " << r[1] << " " << r[2] << " " << r[3];
    EXPECT_EQ(log.rfind("1: Connection closed ", 0) == 0, r[4] == 1) << log;
    clear();
  }
}
