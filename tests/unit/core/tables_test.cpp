// The pointer tables and the set-up and tear-down of a connection, with real
// loopback sockets.
#include "core/tables.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/net.h"
#include "support/harness.h"
#include "unit/core/conn_fixture.h"

namespace {

struct dummy {
  uint32_t v;
};

TEST(Ptbl, AddFillsFirstFreeSlotAndCountsHighestUsed) {
  void* tbl[4] = {};
  uint32_t count = 0, idx = 0;
  for (uint32_t i = 0; i < 4; i++) {
    ASSERT_EQ(ptbladd(tbl, &count, &idx, 4, sizeof(dummy)), 0u);
    EXPECT_EQ(idx, i);
    EXPECT_EQ(count, i + 1);
    EXPECT_EQ(static_cast<dummy*>(tbl[i])->v, 0u);   // zero-filled
  }
  // Full: index out is set to its marker, the count stays.
  EXPECT_EQ(ptbladd(tbl, &count, &idx, 4, sizeof(dummy)), 1u);
  EXPECT_EQ(idx, 0x0FFFFFFFu);
  EXPECT_EQ(count, 4u);

  // A hole below the count is reused without growing the count.
  ptbldel(tbl, &count, 1);
  EXPECT_EQ(count, 4u);
  ASSERT_EQ(ptbladd(tbl, &count, &idx, 4, sizeof(dummy)), 0u);
  EXPECT_EQ(idx, 1u);
  EXPECT_EQ(count, 4u);

  // Deleting the top slot lowers the count past every null slot below it.
  ptbldel(tbl, &count, 1);
  ptbldel(tbl, &count, 2);
  EXPECT_EQ(count, 4u);
  ptbldel(tbl, &count, 3);
  EXPECT_EQ(count, 1u);
  // Out of range and null slots are left alone.
  EXPECT_EQ(ptbldel(tbl, &count, 3), 0u);
  EXPECT_EQ(ptbldel(tbl, &count, 7), 0u);
  EXPECT_EQ(count, 1u);
  ptbldel(tbl, &count, 0);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(tbl[0], nullptr);
}

TEST(Ptbl, BadArguments) {
  void* tbl[2] = {};
  uint32_t count = 3, idx = 0;
  EXPECT_EQ(ptbladd(tbl, &count, &idx, 2, sizeof(dummy)), 3u);   // count beyond max
  EXPECT_EQ(idx, 0x0FFFFFFFu);
  count = 0;
  EXPECT_EQ(ptbladd(tbl, &count, &idx, 2, 0), 4u);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(tbl[0], nullptr);
}

TEST_F(Conn, AddsrventBuildsOneConnection) {
  uint32_t socnew = accepted(), idx = 99;
  std::string out;
  ASSERT_EQ(add(socnew, &idx, &out), 0u);
  EXPECT_EQ(out, "");
  EXPECT_EQ(idx, 0u);
  EXPECT_EQ(numsrvent, 1u);
  EXPECT_EQ(numsoctbl, 2u);
  const srvent* s = servtbl[0];
  EXPECT_EQ(s->socn1, socnew);
  EXPECT_NE(s->socn2, socnew);
  EXPECT_EQ(s->peeraddr, htonl(INADDR_LOOPBACK));
  EXPECT_EQ(s->connected, 0u);
  EXPECT_EQ(s->bufsize, 1000u);
  ASSERT_NE(s->buf1, nullptr);
  ASSERT_NE(s->buf2, nullptr);
  const socent* a = soctbl[s->soci1];
  const socent* b = soctbl[s->soci2];
  EXPECT_EQ(a->soc, socnew);
  EXPECT_EQ(a->conn, 1u);
  EXPECT_EQ(b->soc, s->socn2);
  EXPECT_EQ(b->conn, 2u);
  for (const socent* p : {a, b}) {
    EXPECT_EQ(p->enti, 0u);
    EXPECT_EQ(p->oper, 0u);
    EXPECT_EQ(p->stype, 0u);
    EXPECT_EQ(p->lasttime, a->lasttime);
  }
  // socn2 is non-blocking.
  EXPECT_TRUE(::fcntl(int(s->socn2), F_GETFL) & O_NONBLOCK);

  // freesrvent closes both sockets and empties both tables.
  s->buf1[0] = 0x55;
  soctbl[s->soci2]->encrctx = static_cast<uint8_t*>(malloc(prm.ctxsize));
  EXPECT_EQ(freeconn(0), "");
  EXPECT_EQ(numsrvent, 0u);
  EXPECT_EQ(numsoctbl, 0u);
  EXPECT_EQ(servtbl[0], nullptr);
  EXPECT_TRUE(harness::wait_closed(clients[0], 2000));
}

TEST_F(Conn, DebugLinesOnlyWhenCountsChange) {
  ctx.dbglevel = 3;
  uint32_t i0, i1;
  std::string out;
  ASSERT_EQ(add(accepted(), &i0, &out), 0u);
  EXPECT_EQ(out,
            "addsrvent() updated numsrvent to 1\naddsrvent() updated numsoctbl to 2\n"
            "addsrvent() added Socket Table entries 0 1\n");
  ASSERT_EQ(add(accepted(), &i1, &out), 0u);
  EXPECT_EQ(i1, 1u);
  // Closing slot 0 while slot 1 is in use changes no count.
  EXPECT_EQ(freeconn(0), "");
  EXPECT_EQ(numsrvent, 2u);
  EXPECT_EQ(numsoctbl, 4u);
  // The next connection takes slot 0 again, and its socket slots 0 and 1.
  ASSERT_EQ(add(accepted(), &i0, &out), 0u);
  EXPECT_EQ(i0, 0u);
  EXPECT_EQ(out, "addsrvent() added Socket Table entries 0 1\n");
  EXPECT_EQ(freeconn(1), "freesrvent() updated numsoctbl to 2\nfreesrvent() updated numsrvent to 1\n");
  EXPECT_EQ(freeconn(0), "freesrvent() updated numsoctbl to 0\nfreesrvent() updated numsrvent to 0\n");
}

TEST_F(Conn, FreeOfEmptySlot) {
  EXPECT_EQ(freeconn(3), "");
  ctx.dbglevel = 1;
  EXPECT_EQ(freeconn(3), "** freesrvent(): servtbl[3] is already NULL\n");
  EXPECT_EQ(numsrvent, 0u);
}

TEST_F(Conn, FilterRefusalLeavesTablesUnchanged) {
  prm.numfilt = 1;
  prm.filttype[0] = FILT_DENY;
  prm.filtlen[0] = 1;
  prm.filtaddr[0] = 127;
  ctx.dbglevel = 3;
  uint32_t idx = 5;
  std::string out;
  EXPECT_EQ(add(accepted(), &idx, &out), 1u);
  EXPECT_EQ(out, "  Connection refused by IP address filter.\n");
  EXPECT_EQ(numsrvent, 0u);
  EXPECT_EQ(numsoctbl, 0u);
  EXPECT_EQ(servtbl[0], nullptr);
  EXPECT_EQ(soctbl[0], nullptr);
  EXPECT_TRUE(harness::wait_closed(clients[0], 2000));
}

TEST_F(Conn, FullTablesRejectAndUndo) {
  // Server Table full.
  uint32_t idx;
  for (uint32_t j = 0; j < SRVTBL_MAX; j++)
    ASSERT_EQ(ptbladd(reinterpret_cast<void**>(servtbl), &numsrvent, &idx, SRVTBL_MAX,
                      sizeof(srvent)), 0u);
  std::string out;
  EXPECT_EQ(add(accepted(), &idx, &out), 1u);
  EXPECT_EQ(out, "** Error: Server Table is full. Connection rejected.\n");
  EXPECT_EQ(numsrvent, SRVTBL_MAX);
  EXPECT_EQ(numsoctbl, 0u);
  EXPECT_TRUE(harness::wait_closed(clients[0], 2000));
  for (uint32_t j = 0; j < SRVTBL_MAX; j++) ptbldel(reinterpret_cast<void**>(servtbl), &numsrvent, j);

  // One Socket Table slot left: the first entry is made, then undone.
  for (uint32_t i = 0; i < SOCTBL_MAX - 1; i++)
    ASSERT_EQ(ptbladd(reinterpret_cast<void**>(soctbl), &numsoctbl, &idx, SOCTBL_MAX,
                      sizeof(socent)), 0u);
  EXPECT_EQ(add(accepted(), &idx, &out), 1u);
  EXPECT_EQ(out, "** Error: Socket Table is full. Connection rejected.\n");
  EXPECT_EQ(numsoctbl, SOCTBL_MAX - 1);
  EXPECT_EQ(soctbl[SOCTBL_MAX - 1], nullptr);
  EXPECT_EQ(numsrvent, 0u);
  EXPECT_EQ(servtbl[0], nullptr);
  EXPECT_TRUE(harness::wait_closed(clients[1], 2000));
}

TEST_F(Conn, UnknownPeerIsReportedAndClosed) {
  // A socket that was never connected has no peer.
  uint32_t s = uint32_t(::socket(AF_INET, SOCK_STREAM, 0));
  uint32_t idx;
  std::string out;
  EXPECT_EQ(add(s, &idx, &out), 1u);
  EXPECT_EQ(out,
            "** Error 10057 from getpeername() call for socnew\n"
            "   (WSAENOTCONN: not connected)\n");
  EXPECT_EQ(numsrvent, 0u);
  EXPECT_EQ(::fcntl(int(s), F_GETFD), -1);   // closed
}

}  // namespace
