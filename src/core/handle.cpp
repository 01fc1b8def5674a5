// Handling one Socket Table entry after select(): accept, connect
// completion, established, read, write and final steps, in that order.
#include "core/handle.h"

#include <cstdio>

#include "common/log.h"
#include "common/paramrec.h"
#include "core/progexit.h"
#include "platform/clock.h"
#include "tunnel/nonces.h"
#include "tunnel/records.h"
#include "tunnel/tunnel.h"

namespace {

// How many reads and writes one handled entry may chain without a wait:
// each completed step tries the next one of its connection at once (a read
// the partner's send, a write the partner's next read), so bulk data does
// not pay a select() per buffer; the bound keeps one busy connection from
// holding the pass while the others wait.
constexpr int EAGER_STEPS = 8;

// The entry being handled, its connection and the connected-now flag.
struct entryctx {
  socent* p;
  uint32_t connid;   // Server Table index + 1; 0 for the listening socket
  srvent* psrv;      // null for the listening socket
  bool connectednow;
  int eager;         // steps that may still be tried without a wait
};

void setentry(entryctx* e, socent* p, runctx* ctx) {
  e->p = p;
  e->connid = connid(p);
  e->psrv = p->stype == 0 ? ctx->servtbl[p->enti] : nullptr;
}

void freeconn(uint32_t enti, loopctx* lc, runctx* ctx) {
  freesrvent(enti, ctx, ctx->servtbl, lc->numsrvent, ctx->soctbl, lc->numsoctbl);
}

// startrelay(psrv, ctx): put both sockets of a connection into relaying.
void startrelay(srvent* psrv, runctx* ctx) {
  const paramrec* prm = ctx->paramrec;
  socent* a = ctx->soctbl[psrv->soci1];
  socent* b = ctx->soctbl[psrv->soci2];
  a->oper = OP_RD, a->action = ACT_RELAY, a->rbuf = psrv->buf1, a->sbufrdsize = psrv->bufsize;
  a->rdone = 0, a->rneed = recfirstneed(a, prm);
  b->oper = OP_RD, b->action = ACT_RELAY, b->rbuf = psrv->buf2, b->sbufrdsize = psrv->bufsize;
  b->rdone = 0, b->rneed = recfirstneed(b, prm);
}

// The clientside handshake starts on the socn2 entry: tunnel() builds Msg1
// into buf2.
void startclientside(srvent* psrv, runctx* ctx) {
  socent* b = ctx->soctbl[psrv->soci2];
  b->wbuf = psrv->buf2;
  b->sbufwrsize = psrv->bufsize;
  if (tunnel(ACT_C_START, b, ctx) != TR_DONE) b->closerc = CLOSE_TUNNEL;
}

// Accept one client and start its connection. Returns true when the entry
// to go on with is e->p (now the socn2 entry of a connect that succeeded at
// once), false when this slot's handling is over.
bool acceptstep(entryctx* e, loopctx* lc, runctx* ctx) {
  uint32_t addr = 0;
  uint16_t port = 0;
  sockh socn1 = net_accept(lc->socn3, &addr, &port);
  if (socn1 == NET_INVALID) {
    int err = net_lasterror();
    printf("** accept() error %d\n", err);
    sockerrmsg(0, err);
    if (lc->acceptone) {
      if (!lc->socn3closed) net_close(lc->socn3), lc->socn3closed = 1;
      progexit(EX_ACCEPT, ctx);
    }
    lc->acceptrest = 1;
    lc->acceptfailtick = tickcount();
    return false;
  }
  if (lc->acceptone) {
    // One client only: the listening entry goes away, e->p with it.
    net_close(lc->socn3);
    ptbldel(reinterpret_cast<void**>(ctx->soctbl), lc->numsoctbl, lc->soci3);
    lc->socn3closed = 1;
    e->p = nullptr;
    if (ctx->dbglevel >= 1) printf("socn3 closed\n");
  } else {
    printf("\n");
  }
  char ts[TSTAMPLEN], dotted[16];
  tstamp(ts);
  net_ntoa(addr, dotted);
  printf("%s connection from %s remoteport=%hu socn1=%u\n", ts, dotted, port, socn1);

  // The connection owns socn1 from here, also when addsrvent fails.
  uint32_t enti = 0;
  if (addsrvent(socn1, addr, ctx, ctx->servtbl, lc->numsrvent, &enti, ctx->soctbl, lc->numsoctbl) != 0) {
    if (lc->acceptone) progexit(EX_REJECTED, ctx);
    return false;
  }
  addtimeval(1, ctx);
  printf("Id number for this connection is %lu\n", (unsigned long)idofconn(enti));
  srvent* psrv = ctx->servtbl[enti];
  if (encrsetup(psrv, ctx) != 0) {
    freeconn(enti, lc, ctx);
    if (lc->acceptone) progexit(EX_KEYSETUP, ctx);
    return false;
  }
  if (lc->web) {
    printf("** -w not supported yet - connection closed.\n");
    freeconn(enti, lc, ctx);
    return false;
  }

  char site[16];
  net_ntoa(lc->siteaddr, site);
  printf("Connecting to %s (%s), port %lu, socn2=%u\n", lc->connsite, site,
         (unsigned long)lc->connport, psrv->socn2);
  socent* b = ctx->soctbl[psrv->soci2];
  if (net_connect(psrv->socn2, lc->siteaddr, uint16_t(lc->connport)) == 0) {
    e->connectednow = true;
    printf("Connected to server\n");
    psrv->connected = 1;
    setentry(e, b, ctx);
    return true;
  }
  int err = net_lasterror();
  if (err == NETERR_WOULDBLOCK) {
    b->oper = OP_CONNECT;
    b->action = ACT_NONE;
    return false;
  }
  printf("** connect() error %d\n", err);
  sockerrmsg(0, err);
  net_setabort(psrv->socn1);   // the client sees the failure, not an empty answer
  freeconn(enti, lc, ctx);
  if (lc->acceptone) progexit(EX_CONNECT, ctx);
  return false;
}

// A pending connect: returns true when it has completed, false when it is
// still pending or failed (the connection is then gone: e->p is null).
bool connectstep(entryctx* e, loopctx* lc, runctx* ctx, passctx* pc) {
  socent* p = e->p;
  if (sockset_has(&pc->wr, p->soc)) {
    printf("%lu: Connected to server\n", (unsigned long)e->connid);
    e->psrv->connected = 1;
    return true;
  }
  if (!sockset_has(&pc->ex, p->soc)) return false;
  int err = 0;
  if (net_getsockerror(p->soc, &err) == 0 && err != 0) {
    printf("%lu: ** Error %d connecting to server\n", (unsigned long)e->connid, err);
    sockerrmsg(e->connid, err);
  } else {
    printf("%lu: ** Unknown error connecting to server\n", (unsigned long)e->connid);
  }
  p->oper = 0;
  net_setabort(e->psrv->socn1);   // the client sees the failure, not an empty answer
  freeconn(p->enti, lc, ctx);
  e->p = nullptr;
  if (lc->acceptone) progexit(EX_CONNPEND, ctx);
  return false;
}

void readstep(entryctx* e, loopctx* lc, runctx* ctx, passctx* pc, bool polled);
void writestep(entryctx* e, loopctx* lc, runctx* ctx, passctx* pc, bool polled);
void trysoc(const entryctx* e, socent* q, loopctx* lc, runctx* ctx, passctx* pc);

// The server site is connected: start the handshake or the relaying. Msg1
// is tried at once, going out and coming in: the clientside instance sends
// it as soon as its connect completes, most often before ours has.
void establishedstep(entryctx* e, loopctx* lc, runctx* ctx, passctx* pc) {
  srvent* psrv = e->psrv;
  socent* a = ctx->soctbl[psrv->soci1];
  e->p->oper = 0;
  e->p->lasttime = pc->passtime;
  if (ctx->paramrec->serverside) {
    // Wait for Msg1 from the clientside instance.
    a->oper = OP_RD, a->action = ACT_S_MSG1READ, a->rbuf = psrv->buf1, a->sbufrdsize = psrv->bufsize;
    a->rdone = 0, a->rneed = HSMSGLEN;
    trysoc(e, a, lc, ctx, pc);
  } else if (ctx->paramrec->clientside) {
    startclientside(psrv, ctx);
    trysoc(e, e->p, lc, ctx, pc);
  } else {
    startrelay(psrv, ctx);
    // A client that speaks first has most often spoken while the connect
    // was on its way: its first bytes go on in this pass, not the next.
    trysoc(e, a, lc, ctx, pc);
  }
}

// Trace a completed read of relayed data.
void tracedata(const entryctx* e, const loopctx* lc) {
  const socent* p = e->p;
  printf(p->conn == 1 ? "%lu: ---------- From client: %lu bytes:\n"
                      : "%lu: ---------- From server: %lu bytes:\n",
         (unsigned long)e->connid, (unsigned long)p->rdone);
  uint32_t n = p->rdone < lc->tracelen ? p->rdone : lc->tracelen;
  hexdump(p->rbuf, n);
  if (n < p->rdone) printf("%04lX: ...\n", (unsigned long)n);
}

// The partner q of e->p has work again: try it now, without waiting for
// select(), while e's chain of steps has some left. An attempt that would
// block stays pending for the next pass, exactly as if it had not been made.
void trypartner(const entryctx* e, socent* q, uint32_t op, loopctx* lc, runctx* ctx, passctx* pc) {
  if (e->eager <= 0 || q->closerc != 0) return;
  entryctx f{};
  setentry(&f, q, ctx);
  f.eager = e->eager - 1;
  if (op == OP_WR)
    writestep(&f, lc, ctx, pc, false);
  else
    readstep(&f, lc, ctx, pc, false);
}

// trysoc(e, q, lc, ctx, pc): try q's pending read or write at once, as
// trypartner does.
void trysoc(const entryctx* e, socent* q, loopctx* lc, runctx* ctx, passctx* pc) {
  if (q->oper & OP_WR)
    trypartner(e, q, OP_WR, lc, ctx, pc);
  else if (q->oper & OP_RD)
    trypartner(e, q, OP_RD, lc, ctx, pc);
}

// A handshake message has been read or written: tunnel() takes the step.
// After the last step of a side the tunnel is up; a middle instance then
// starts its own clientside handshake toward the next relay. The peer waits
// for each of our messages, so a message built is sent at once, not a pass
// later. A read is tried at once only after a step that derived a key set:
// the peer has worked on its answer meanwhile, and it is most often here.
// Right after Msg3 has gone out, Msg4 cannot be, and the try would be a
// system call for nothing.
void handshakestep(entryctx* e, loopctx* lc, runctx* ctx, passctx* pc) {
  socent* p = e->p;
  uint32_t action = p->action;
  if (tunnel(action, p, ctx) != TR_DONE) {
    p->closerc = CLOSE_TUNNEL;
    return;
  }
  if (action != ACT_S_MSG4SENT && action != ACT_C_MSG4READ) {
    if (action != ACT_C_MSG3SENT) trysoc(e, p, lc, ctx, pc);
    return;
  }
  printf("%lu: Authentication ok, secure tunnel established.\n", (unsigned long)e->connid);
  srvent* psrv = e->psrv;
  if (action == ACT_S_MSG4SENT && ctx->paramrec->clientside) {
    startclientside(psrv, ctx);
    trysoc(e, ctx->soctbl[psrv->soci2], lc, ctx, pc);
  } else {
    startrelay(psrv, ctx);
    // The client's first bytes (or a server's greeting) have most often
    // waited for the tunnel.
    socent* b = ctx->soctbl[psrv->soci2];
    trysoc(e, ctx->soctbl[psrv->soci1], lc, ctx, pc);
    if (b->oper == OP_RD) trysoc(e, b, lc, ctx, pc);
  }
}

// A read has completed: pass the data on, or take the next handshake step.
void readdone(entryctx* e, loopctx* lc, runctx* ctx, passctx* pc) {
  socent* p = e->p;
  p->oper &= ~OP_RD;
  if (p->closerc != 0) {
    p->oper = 0;
    return;
  }
  if (p->action == ACT_RELAY) {
    uint32_t rc = tunnel(TC_RECV, p, ctx);
    if (rc == TR_MORE) {
      // The rest of the record is still to come, most often already here.
      if ((p->oper & OP_RD) && e->eager > 0) {
        entryctx f = *e;
        f.eager--;
        readstep(&f, lc, ctx, pc, false);
      }
      return;
    }
    if (rc >= TR_FAILED) {
      p->closerc = CLOSE_TUNNEL;
      return;
    }
    if (ctx->trace) tracedata(e, lc);
    // The partner sends straight from the buffer the data was read into.
    socent* q = partnerof(p, ctx);
    q->wbuf = p->rbuf, q->sbufwrsize = p->sbufrdsize, q->wlen = p->rdone, q->wdone = 0;
    q->wpend = 0;
    // More most often follows a read that filled the buffer, or a record
    // that carried as much as one can.
    q->wmore = istunnelend(p, ctx->paramrec) ? recfull(p, ctx) : p->rmore;
    if (istunnelend(p, ctx->paramrec) && istunnelend(q, ctx->paramrec)) recsplit(q, ctx);
    if (tunnel(TC_SEND, q, ctx) == TR_DONE) {
      q->action = ACT_RELAY;
      q->oper |= OP_WR;
      trypartner(e, q, OP_WR, lc, ctx, pc);
    } else {
      p->closerc = CLOSE_TUNNEL;
    }
  } else if (ishsread(p->action)) {
    handshakestep(e, lc, ctx, pc);
  }
}

// readstep(e, lc, ctx, pc, polled): one recv() for e->p; polled is true
// when select() reported the socket readable.
void readstep(entryctx* e, loopctx* lc, runctx* ctx, passctx* pc, bool polled) {
  socent* p = e->p;
  unsigned long id = e->connid;
  if (ctx->dbglevel >= 3)
    printf("%lu: Handling oper RD conn %lu action=%lu rneed=%lu rdone=%lu\n", id,
           (unsigned long)p->conn, (unsigned long)p->action, (unsigned long)p->rneed,
           (unsigned long)p->rdone);

  // How far this read may fill the buffer.
  uint32_t limit = p->rneed != 0 ? p->rneed : recreadroom(p, ctx);
  if (limit > p->sbufrdsize) {
    printf("%lu: **** RD: Invalid rneed=%lu sbufrdsize=%lu\n", id, (unsigned long)limit,
           (unsigned long)p->sbufrdsize);
    limit = p->sbufrdsize;
  }
  if (p->rdone >= limit || (p->rdone != 0 && p->rneed == 0)) {
    printf("%lu: **** RD: Invalid rdone=%lu rneed=%lu\n", id, (unsigned long)p->rdone,
           (unsigned long)p->rneed);
    readdone(e, lc, ctx, pc);
    return;
  }

  if (ctx->dbglevel >= 3) printf("   Doing recv(), max len = %lu\n", (unsigned long)(limit - p->rdone));
  int n = net_recv(p->soc, p->rbuf + p->rdone, limit - p->rdone);
  if (n == 0) {
    printf("%lu: ** Socket EOF on conn %lu\n", id, (unsigned long)p->conn);
    // The end of a tunnel before it is up, or inside a record, is a cut
    // stream: a failure of the tunnel, not the end of the data.
    bool cut = istunnelend(p, ctx->paramrec) && (p->action != ACT_RELAY || p->rdone != 0);
    p->closerc = cut ? CLOSE_TUNNEL : CLOSE_EOF;
  } else if (n < 0) {
    int err = net_lasterror();
    if (err == NETERR_WOULDBLOCK) {
      // The note tells of a wait that select() announced in vain, not of
      // an attempt made without asking it.
      if (polled && ctx->dbglevel >= 1)
        printf("%lu: Note: recv() on conn %lu got WSAEWOULDBLOCK\n", id, (unsigned long)p->conn);
      return;
    }
    printf("%lu: ** Socket recv() error %d on conn %lu\n", id, err, (unsigned long)p->conn);
    sockerrmsg(e->connid, err);
    p->closerc = CLOSE_SOCKERR;
  } else {
    if (ctx->dbglevel >= 2)
      printf("%lu: recv(): %lu bytes read from conn %lu, at displ %lu in buf.\n", id,
             (unsigned long)n, (unsigned long)p->conn, (unsigned long)p->rdone);
    p->lasttime = pc->passtime;
    p->rdone += uint32_t(n);
    if (p->rneed != 0 && p->rdone < p->rneed) return;
    // A read that filled all the room it had may have left more behind.
    p->rmore = p->rdone == limit;
  }
  readdone(e, lc, ctx, pc);
}

// A write has completed: let the partner read again, or take the next
// handshake step.
void writedone(entryctx* e, loopctx* lc, runctx* ctx, passctx* pc) {
  socent* p = e->p;
  p->oper &= ~OP_WR;
  if (p->closerc != 0) {
    p->oper = 0;
    return;
  }
  if (p->action == ACT_RELAY && p->wpend > 0) {
    // The next record of a payload that did not fit into one.
    recnextpart(p, ctx);
    if (tunnel(TC_SEND, p, ctx) == TR_DONE) {
      p->oper |= OP_WR;
      if (e->eager > 0) {
        entryctx f = *e;
        f.eager--;
        writestep(&f, lc, ctx, pc, false);
      }
    } else {
      p->closerc = CLOSE_TUNNEL;
    }
  } else if (p->action == ACT_RELAY) {
    // The buffer just sent is free for the partner's next read.
    socent* q = partnerof(p, ctx);
    q->action = ACT_RELAY;
    q->oper |= OP_RD;
    q->rbuf = p->wbuf, q->sbufrdsize = p->sbufwrsize, q->rdone = 0;
    q->rneed = recfirstneed(q, ctx->paramrec);
    // A reader whose last read filled the buffer has more waiting, most often.
    if (q->rmore) trypartner(e, q, OP_RD, lc, ctx, pc);
  } else if (ishswrite(p->action)) {
    handshakestep(e, lc, ctx, pc);
  }
}

// writestep(e, lc, ctx, pc, polled): one send() for e->p; polled is true
// when select() reported the socket writable.
void writestep(entryctx* e, loopctx* lc, runctx* ctx, passctx* pc, bool polled) {
  socent* p = e->p;
  unsigned long id = e->connid;
  if (ctx->dbglevel >= 3)
    printf("%lu: Handling oper WR conn %lu action=%lu wlen=%lu wdone=%lu\n", id,
           (unsigned long)p->conn, (unsigned long)p->action, (unsigned long)p->wlen,
           (unsigned long)p->wdone);
  if (p->wdone >= p->wlen) {
    printf("%lu: **** WR: Invalid wdone=%lu wlen=%lu\n", id, (unsigned long)p->wdone,
           (unsigned long)p->wlen);
    writedone(e, lc, ctx, pc);
    return;
  }
  // With more to follow at once, the system may join this tail to the next
  // bytes rather than send a short segment now; the loop pushes it before
  // it waits, so nothing stays held while nothing follows.
  bool more = p->action == ACT_RELAY && (p->wmore || p->wpend > 0);
  const uint8_t* from = p->wbuf + p->wdone;
  uint32_t len = p->wlen - p->wdone;
  int n = more ? net_sendmore(p->soc, from, len) : net_send(p->soc, from, len);
  if (n < 0) {
    int err = net_lasterror();
    if (err == NETERR_WOULDBLOCK) {
      if (polled && ctx->dbglevel >= 1)
        printf("%lu: Note: send() on conn %lu got WSAEWOULDBLOCK\n", id, (unsigned long)p->conn);
      return;
    }
    printf("%lu: ** Socket send() error %d on conn %lu\n", id, err, (unsigned long)p->conn);
    sockerrmsg(e->connid, err);
    p->closerc = CLOSE_SOCKERR;
  } else {
    if (ctx->dbglevel >= 2)
      printf("%lu: send(): %lu bytes written to conn %lu, at displ %lu in buf.\n", id,
             (unsigned long)n, (unsigned long)p->conn, (unsigned long)p->wdone);
    p->lasttime = pc->passtime;
    p->wdone += uint32_t(n);
    p->held = more;   // a send without the hint takes what was held with it
    if (p->wdone < p->wlen) return;
  }
  writedone(e, lc, ctx, pc);
}

}  // namespace

void handleentry(uint32_t i, loopctx* lc, runctx* ctx, passctx* pc) {
  entryctx e{};
  setentry(&e, ctx->soctbl[i], ctx);
  e.eager = EAGER_STEPS;

  // Accept step: the listening socket has a client waiting.
  if (e.p->oper == OP_ACCEPT && sockset_has(&pc->rd, lc->socn3)) {
    if (!acceptstep(&e, lc, ctx)) return;
  }

  // Connect-completion and established steps.
  bool established = e.connectednow;
  if (e.p->oper == OP_CONNECT && !e.connectednow) {
    established = connectstep(&e, lc, ctx, pc);
    if (e.p == nullptr) return;
  }
  if (established) establishedstep(&e, lc, ctx, pc);

  // Read step.
  if ((e.p->oper & OP_RD) && sockset_has(&pc->rd, e.p->soc)) readstep(&e, lc, ctx, pc, true);

  // Write step.
  if (e.p->closerc != 0) e.p->oper = 0;
  if ((e.p->oper & OP_WR) && sockset_has(&pc->wr, e.p->soc)) writestep(&e, lc, ctx, pc, true);

  // Final step.
  if (e.p->closerc != 0) e.p->oper = 0;
}
