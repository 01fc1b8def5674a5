// Fuzz target: bytes from the network reaching tunnel().
// The first input byte picks what the rest is:
//   0  Msg1 received by the server side (call type 31)
//   1  Msg3 received by the server side after a valid Msg1 and Msg2 (call type 33)
//   2  a record as it arrives on the wire (header, then body if the header passes)
//   3  a record's plain fields (lengths, byte 8, body) sealed with a valid
//      header check sum, so the length checks and the body step are reached
//   4  a payload and record rules: built, opened, and compared with the original
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/paramrec.h"
#include "common/runctx.h"
#include "core/tables.h"
#include "crypto/cipher.h"
#include "tunnel/keysetup.h"
#include "tunnel/tunnel.h"

namespace {

constexpr uint32_t BUFSIZE = 4096;

void setuser(userent* u, const char* name, const char* secret) {
  memset(u, 0, sizeof *u);
  memset(u->uname, ' ', UNAMELEN);
  memcpy(u->uname, name, strlen(name));
  u->ulen = (uint8_t)strlen(name);
  memcpy(u->secret, secret, strlen(secret));
  u->pwlen = (uint8_t)strlen(secret);
}

// One instance with one connection, as the event loop would hold it.
struct inst {
  paramrec prm{};
  runctx ctx{};
  socent* soctbl[SOCTBL_MAX]{};
  srvent srv{};
  socent s1{}, s2{};
  std::vector<uint8_t> buf1 = std::vector<uint8_t>(BUFSIZE), buf2 = std::vector<uint8_t>(BUFSIZE);
  inst(bool client, bool server) {
    prm.clientside = client, prm.serverside = server;
    prm.encrtype = ENCR_RC4, prm.ctxsize = CTXSIZE_RC4, prm.msglenmult = 256;
    setuser(&prm.cluser, "fuzz", "secret");
    setuser(&prm.usertbl[0], "fuzz", "secret");
    prm.numusers = 1;
    ctx.paramrec = &prm, ctx.bufsize = ctx.recbufsize = BUFSIZE, ctx.soctbl = soctbl;
    srv.soci1 = 0, srv.soci2 = 1, soctbl[0] = &s1, soctbl[1] = &s2;
    s1.conn = 1, s2.conn = 2;
    encrsetup(&srv, &ctx);
    s1.rbuf = s1.wbuf = buf1.data(), s1.sbufrdsize = s1.sbufwrsize = BUFSIZE;
    s2.rbuf = s2.wbuf = buf2.data(), s2.sbufrdsize = s2.sbufwrsize = BUFSIZE;
  }
  ~inst() {
    for (socent* s : {&s1, &s2}) free(s->encrctx), free(s->decrctx);
  }
};

void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = (uint8_t)(v >> (8 * i));
}
uint32_t get32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24; }

// A keyed sender (client conn 2) and receiver (server conn 1), made once;
// each input starts from copies of their fresh work areas.
struct keyed {
  inst c{true, false}, s{false, true};
  std::vector<uint8_t> cencr, sdecr;
  keyed() {
    userent u;
    setuser(&u, "fuzz", "secret");
    uint8_t n[32] = {1, 2, 3};
    tunnnelkeys(&c.s2, &c.ctx, &u, n, nullptr, nullptr, nullptr);
    tunnnelkeys(&s.s1, &s.ctx, &u, n, nullptr, nullptr, nullptr);
    cencr.assign(c.s2.encrctx, c.s2.encrctx + CTXSIZE_RC4);
    sdecr.assign(s.s1.decrctx, s.s1.decrctx + CTXSIZE_RC4);
  }
  void reset() {
    memcpy(c.s2.encrctx, cencr.data(), CTXSIZE_RC4);
    memcpy(s.s1.decrctx, sdecr.data(), CTXSIZE_RC4);
  }
  // receive(wire, len): hand a record to the receiver in its two steps.
  uint32_t receive(const uint8_t* wire, size_t len) {
    socent* r = &s.s1;
    memset(r->rbuf, 0, BUFSIZE);
    memcpy(r->rbuf, wire, len < 48 ? len : 48);
    r->rdone = 48, r->rneed = 48;
    uint32_t rc = tunnel(TC_RECV, r, &s.ctx);
    if (rc != 1) return rc;
    if (r->rneed <= 48 || r->rneed > BUFSIZE) abort();   // header step let a bad length through
    size_t body = len > 48 ? len - 48 : 0;
    if (body > r->rneed - 48) body = r->rneed - 48;
    memcpy(r->rbuf + 48, wire + 48, body);
    r->rdone = r->rneed;
    rc = tunnel(TC_RECV, r, &s.ctx);
    if (rc == 0 && (r->rdone == 0 || r->rdone > BUFSIZE - 80)) abort();
    return rc;
  }
};

keyed& pairs() {
  static keyed k;
  return k;
}

void msg1(const uint8_t* d, size_t n) {
  inst s(false, true);
  memcpy(s.buf1.data(), d, n < 128 ? n : 128);
  s.s1.rdone = 128;
  tunnel(31, &s.s1, &s.ctx);
}

void msg3(const uint8_t* d, size_t n) {
  inst c(true, false), s(false, true);
  if (tunnel(50, &c.s2, &c.ctx) != 0) abort();
  memcpy(s.buf1.data(), c.buf2.data(), 128);
  if (tunnel(31, &s.s1, &s.ctx) != 0 || tunnel(32, &s.s1, &s.ctx) != 0) abort();
  memset(s.buf1.data(), 0, 128);
  memcpy(s.buf1.data(), d, n < 128 ? n : 128);
  s.s1.rdone = 128;
  tunnel(33, &s.s1, &s.ctx);
}

void sealed(const uint8_t* d, size_t n) {
  if (n < 9) return;
  keyed& k = pairs();
  k.reset();
  std::vector<uint8_t> rec(BUFSIZE + 64, 0);
  put32(rec.data(), get32(d));
  put32(rec.data() + 4, get32(d + 4));
  rec[8] = d[8] & 1 ? d[8] : 0;
  checksum(&k.c.s2, rec.data(), 16, rec.data() + 16);
  size_t body = n - 9 < BUFSIZE ? n - 9 : BUFSIZE;
  memcpy(rec.data() + 48, d + 9, body > BUFSIZE - 48 ? BUFSIZE - 48 : body);
  uint32_t len = (uint32_t)(48 + (body > BUFSIZE - 48 ? BUFSIZE - 48 : body));
  dataencr(k.c.s2.encrctx, rec.data(), rec.data(), len);
  k.receive(rec.data(), len);
}

void roundtrip(const uint8_t* d, size_t n) {
  if (n < 6) return;
  keyed& k = pairs();
  k.reset();
  uint32_t payload = (d[0] | d[1] << 8) % (BUFSIZE - 80) + 1;
  k.c.prm.msglenmult = ((d[2] | d[3] << 8) % 4096 + 16) & ~15u;
  k.c.prm.minmsglen = (d[4] | d[5] << 8) % 8192;
  socent* w = &k.c.s2;
  std::vector<uint8_t> want(payload);
  for (uint32_t i = 0; i < payload; i++) want[i] = n > 6 ? d[6 + i % (n - 6)] : (uint8_t)i;
  memcpy(w->wbuf, want.data(), payload);
  w->wlen = payload;
  uint32_t rc = tunnel(TC_SEND, w, &k.c.ctx);
  if (rc == 21) return;   // the padded record does not fit this buffer
  if (rc != 0 || w->wlen % 16 || w->wlen > BUFSIZE || w->wlen < payload + 80) abort();
  if (k.receive(w->wbuf, w->wlen) != 0) abort();
  if (k.s.s1.rdone != payload || memcmp(k.s.s1.rbuf, want.data(), payload) != 0) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool quiet = freopen("/dev/null", "w", stdout) != nullptr;
  (void)quiet;
  if (size < 1) return 0;
  const uint8_t* d = data + 1;
  size_t n = size - 1;
  switch (data[0] % 5) {
    case 0: msg1(d, n); break;
    case 1: msg3(d, n); break;
    case 2: pairs().reset(), pairs().receive(d, n); break;
    case 3: sealed(d, n); break;
    case 4: roundtrip(d, n); break;
  }
  return 0;
}
