#include "core/loop.h"

#include <cstdio>

#include "common/log.h"
#include "common/paramrec.h"
#include "core/handle.h"
#include "core/progexit.h"
#include "platform/clock.h"

namespace {

// Close a connection that has waited too long without reading; in
// accept-one mode that ends the program.
void inactive(uint32_t i, loopctx* lc, runctx* ctx, passctx* pc) {
  socent* p = ctx->soctbl[i];
  char ts[TSTAMPLEN];
  tstamp(ts);
  printf("%lu: ** Inactivity timeout for conn %lu. Closing both sockets %s.\n",
         (unsigned long)connid(p), (unsigned long)p->conn, ts);
  // The partner may already stand in this pass's sets.
  sockh other = partnerof(p, ctx)->soc;
  sockset_remove(&pc->rd, other);
  sockset_remove(&pc->wr, other);
  sockset_remove(&pc->ex, other);
  freesrvent(p->enti, ctx, ctx->servtbl, lc->numsrvent, ctx->soctbl, lc->numsoctbl);
  if (lc->acceptone) {
    if (!lc->socn3closed) net_close(lc->socn3), lc->socn3closed = 1;
    progexit(EX_INACTIVE, ctx);
  }
}

void nowork(runctx* ctx) {
  printf("** All select() sets are empty. No work to do.\n");
  progexit(EX_NOWORK, ctx);
}

}  // namespace

void buildsets(loopctx* lc, runctx* ctx, passctx* pc) {
  sockset_zero(&pc->rd);
  sockset_zero(&pc->wr);
  sockset_zero(&pc->ex);
  pc->rdused = pc->wrused = pc->exused = false;
  if (*lc->numsoctbl == 0) nowork(ctx);

  // The accept rest ends once its time has passed.
  if (lc->acceptrest && pc->passtime - lc->acceptfailtick >= ACCEPT_REST_MS) lc->acceptrest = 0;

  for (uint32_t i = 0; i < *lc->numsoctbl; i++) {
    socent* p = ctx->soctbl[i];
    if (p == nullptr) continue;
    uint32_t idle = pc->passtime - p->lasttime;   // unsigned: the tick wrap is harmless
    if (ctx->dbglevel >= 5)
      printf(">>> Loop: i=%lu oper=%lu i1=%lu enti=%lu stype=%lu conn %lu  inactive %lu secs\n",
             (unsigned long)i, (unsigned long)p->oper,
             (unsigned long)connid(p), (unsigned long)p->enti,
             (unsigned long)p->stype, (unsigned long)p->conn,
             (unsigned long)(p->stype == 0 ? idle / 1000 : 0));
    if (p->stype == 0 && idle > INACTIVITY_MS) {
      inactive(i, lc, ctx, pc);
      continue;
    }
    if (p->oper & (OP_RD | OP_ACCEPT)) {
      if (p->stype == 1 && lc->acceptrest) {
        // A resting listener waits in the exception set, where it is never
        // reported: the pass still has something to wait on, and accept()
        // is not retried before the rest is over.
        sockset_add(&pc->ex, p->soc);
        pc->exused = true;
      } else {
        sockset_add(&pc->rd, p->soc);
        pc->rdused = true;
        if (p->stype == 0) p->lasttime = pc->passtime;
      }
    }
    if (p->oper & (OP_WR | OP_CONNECT)) {
      sockset_add(&pc->wr, p->soc);
      pc->wrused = true;
    }
    if (p->oper & OP_CONNECT) {
      sockset_add(&pc->ex, p->soc);
      pc->exused = true;
    }
  }
  if (!pc->rdused && !pc->wrused && !pc->exused) nowork(ctx);
}

int waitsets(loopctx* lc, runctx* ctx, passctx* pc) {
  uint32_t timeout = SELECT_TIMEOUT_MS;
  if (lc->acceptrest) {
    uint32_t left = ACCEPT_REST_MS - (tickcount() - lc->acceptfailtick);
    if (left > ACCEPT_REST_MS) left = 0;   // already over
    if (left < timeout) timeout = left;
  }
  int selrc = net_select(pc->rdused ? &pc->rd : nullptr, pc->wrused ? &pc->wr : nullptr,
                         pc->exused ? &pc->ex : nullptr, timeout);
  if (selrc < 0) {
    int err = net_lasterror();
    printf("** Error %d from select()\n", err);
    sockerrmsg(0, err);
    progexit(EX_SELECT, ctx);
  }
  if ((ctx->dbglevel >= 2 && selrc != 0) || ctx->dbglevel >= 5)
    printf("===== select() selrc=%d\n", selrc);
  // Unused sets hold nothing ready.
  if (!pc->rdused) sockset_zero(&pc->rd);
  if (!pc->wrused) sockset_zero(&pc->wr);
  if (!pc->exused) sockset_zero(&pc->ex);
  return selrc;
}

void closepass(loopctx* lc, runctx* ctx) {
  for (uint32_t j = 0; j < *lc->numsrvent; j++) {
    srvent* psrv = ctx->servtbl[j];
    if (psrv == nullptr) continue;
    const socent* a = ctx->soctbl[psrv->soci1];
    const socent* b = ctx->soctbl[psrv->soci2];
    // A finished side waits until its partner has sent what it was sending.
    bool ends = (a->closerc != 0 && (b->closerc != 0 || !(b->oper & OP_WR))) ||
                (a->closerc == 0 && b->closerc != 0 && !(a->oper & OP_WR));
    if (!ends) continue;
    bool failed = a->closerc >= CLOSE_SOCKERR || b->closerc >= CLOSE_SOCKERR;
    // After a socket error or a failed tunnel, the other side must not take
    // the orderly end for the end of the data: both sockets end in a reset.
    if (failed) net_setabort(psrv->socn1), net_setabort(psrv->socn2);
    freesrvent(j, ctx, ctx->servtbl, lc->numsrvent, ctx->soctbl, lc->numsoctbl);
    char ts[TSTAMPLEN];
    tstamp(ts);
    printf("%lu: Connection closed %s.\n", (unsigned long)idofconn(j), ts);
    if (lc->acceptone) progexit(failed ? EX_CONNERR : EX_OK, ctx);
  }
}

// pushheld(lc, ctx): send what sends with more to follow left held back.
// Those bytes were meant to join the next ones, which did not come in this
// pass: before the loop waits they go out alone.
void pushheld(const loopctx* lc, runctx* ctx) {
  for (uint32_t i = 0; i < *lc->numsoctbl; i++) {
    socent* p = ctx->soctbl[i];
    if (p == nullptr || !p->held) continue;
    net_push(p->soc);
    p->held = false;
  }
}

void eventloop(loopctx* lc, runctx* ctx) {
  passctx pc;
  for (;;) {
    pc.passtime = tickcount();
    buildsets(lc, ctx, &pc);
    if (waitsets(lc, ctx, &pc) == 0) continue;
    pc.passtime = tickcount();
    for (uint32_t i = 0; i < *lc->numsoctbl; i++) {
      if (ctx->soctbl[i] != nullptr && ctx->soctbl[i]->oper != 0) handleentry(i, lc, ctx, &pc);
    }
    closepass(lc, ctx);
    pushheld(lc, ctx);
  }
}
