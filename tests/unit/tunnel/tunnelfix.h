// Test fixture of the tunnel tests: one instance's run context, parameter
// record and one relayed connection (two socket entries and their buffers),
// without sockets. Messages travel between two instances by copying the
// sender's write buffer into the receiver's read buffer.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/paramrec.h"
#include "common/runctx.h"
#include "core/tables.h"
#include "tunnel/keysetup.h"
#include "tunnel/tunnel.h"

namespace tfix {

// setuser(u, name, secret): a user entry as the parameter file reader leaves it.
inline void setuser(userent* u, const std::string& name, const std::string& secret) {
  memset(u, 0, sizeof *u);
  memset(u->uname, ' ', UNAMELEN);
  memcpy(u->uname, name.data(), name.size());
  u->ulen = (uint8_t)name.size();
  memcpy(u->secret, secret.data(), secret.size());
  u->pwlen = (uint8_t)secret.size();
}

struct instance {
  paramrec prm{};
  runctx ctx{};
  socent* soctbl[SOCTBL_MAX]{};
  srvent* servtbl[SRVTBL_MAX]{};
  srvent srv{};
  socent s1{}, s2{};   // conn 1 (accepted) and conn 2 (to the server site)
  std::vector<uint8_t> buf1, buf2;

  instance(bool client, bool server, uint32_t encrtype = ENCR_RC4, uint32_t bufsize = 8192) {
    prm.clientside = client;
    prm.serverside = server;
    prm.encrtype = encrtype;
    prm.ctxsize = encrtype == ENCR_DES3 ? CTXSIZE_DES3 : CTXSIZE_RC4;
    prm.msglenmult = 256;
    ctx.paramrec = &prm;
    ctx.bufsize = ctx.recbufsize = bufsize;
    ctx.soctbl = soctbl;
    ctx.servtbl = servtbl;
    buf1.assign(bufsize, 0);
    buf2.assign(bufsize, 0);
    srv.soci1 = 3, srv.soci2 = 4;
    srv.buf1 = buf1.data(), srv.buf2 = buf2.data(), srv.bufsize = bufsize;
    soctbl[3] = &s1, soctbl[4] = &s2;
    servtbl[6] = &srv;
    s1.conn = 1, s2.conn = 2;
    s1.enti = s2.enti = 6;   // connid 7
  }
  ~instance() {
    for (socent* s : {&s1, &s2}) free(s->encrctx), free(s->decrctx);
  }
  instance(const instance&) = delete;
  instance& operator=(const instance&) = delete;
};

// Where a handshake stopped: the first failing result and its side.
struct hsresult {
  uint32_t rc = 0;
  char side = '-';   // 'C' client side, 'S' server side, '-' completed
  uint32_t step = 0;
  std::string wire[4];   // Msg1..Msg4 as they travelled
};

// A hook that may rewrite message n (1..4) on its way.
using tamper_fn = void (*)(int n, std::string& msg, void* arg);

// handshake(c, s): run the four messages between c's conn 2 and s's conn 1,
// the way the event loop sequences them.
inline hsresult handshake(instance& c, instance& s, tamper_fn tamper = nullptr,
                          void* arg = nullptr) {
  socent* cs = &c.s2;
  socent* ss = &s.s1;
  hsresult r;
  int sent = 0;
  auto pass = [&](socent* from, socent* to) {
    if (r.rc) return;
    std::string m((const char*)from->wbuf, from->wlen);
    if (tamper) tamper(sent + 1, m, arg);
    r.wire[sent++] = m;
    memcpy(to->rbuf, m.data(), m.size());
    to->rdone = (uint32_t)m.size();
  };
  auto call = [&](char side, uint32_t ct) {
    if (r.rc) return;
    instance& in = side == 'C' ? c : s;
    socent* e = side == 'C' ? cs : ss;
    uint32_t rc = tunnel(ct, e, &in.ctx);
    if (rc) r.rc = rc, r.side = side, r.step = ct;
  };
  // The loop's set-up once each side's server site connection is made.
  ss->oper = OP_RD, ss->action = 31, ss->rbuf = s.buf1.data(), ss->sbufrdsize = s.ctx.bufsize;
  ss->rdone = 0, ss->rneed = 128;
  cs->wbuf = c.buf2.data(), cs->sbufwrsize = c.ctx.bufsize;
  call('C', 50);
  pass(cs, ss);
  call('C', 51);
  call('S', 31);
  pass(ss, cs);
  call('S', 32);
  call('C', 52);
  pass(cs, ss);
  call('C', 53);
  call('S', 33);
  pass(ss, cs);
  call('S', 34);
  call('C', 54);
  return r;
}

// keyedpair(c, s, secret): install one key set in c's conn 2 and s's conn 1
// directly, as a finished handshake would.
inline void keyedpair(instance& c, instance& s, const std::string& secret) {
  userent u;
  setuser(&u, "k", secret);
  uint8_t n[32];
  for (int i = 0; i < 32; i++) n[i] = (uint8_t)(i * 7 + 1);
  for (socent* e : {&c.s2, &s.s1}) {
    instance& in = e == &c.s2 ? c : s;
    e->encrctx = (uint8_t*)malloc(in.prm.ctxsize);
    e->decrctx = (uint8_t*)malloc(in.prm.ctxsize);
    ASSERT_EQ(tunnnelkeys(e, &in.ctx, &u, n, nullptr, nullptr, nullptr), 0u);
  }
}

}  // namespace tfix
