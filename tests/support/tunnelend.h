// One end of a tunnel without sockets, as the event loop holds it: the
// clientside's conn 2 or the serverside's conn 1 of connection 7, with its
// buffer and work areas inside. Messages and records go from one end to the
// other by copying the sender's wbuf into the receiver's rbuf. For the unit
// tests and the tunnel fuzz target alike.
#pragma once
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "core/tables.h"
#include "crypto/cipher.h"
#include "tunnel/keys.h"
#include "tunnel/nonces.h"
#include "tunnel/tunnel.h"

namespace harness {

// setuser(u, name, secret): a user entry, its name blank-padded.
inline void setuser(userent* u, const std::string& name, const std::string& secret) {
  memset(u, 0, sizeof *u);
  memset(u->uname, ' ', UNAMELEN);
  memcpy(u->uname, name.data(), name.size());
  memcpy(u->secret, secret.data(), secret.size());
  u->ulen = uint8_t(name.size());
  u->pwlen = uint8_t(secret.size());
}

struct tunnelend {
  static constexpr uint32_t BUFSIZE = 8192;
  paramrec prm{};
  runctx ctx{};
  socent* soctbl[SOCTBL_MAX]{};
  srvent srv{};
  socent s[2]{};   // conn 1 and conn 2
  socent* e;       // this end's entry
  uint8_t buf[BUFSIZE]{}, areas[2][CTXSIZE_DES3]{};

  explicit tunnelend(bool client, uint32_t type = ENCR_RC4) : e(&s[client]) {
    prm.clientside = client;
    prm.serverside = !client;
    prm.encrtype = type;
    prm.msglenmult = 256;
    prm.ctxsize = type == ENCR_DES3 ? CTXSIZE_DES3 : CTXSIZE_RC4;
    ctx.paramrec = &prm;
    ctx.bufsize = ctx.recbufsize = BUFSIZE;
    ctx.soctbl = soctbl;
    soctbl[0] = &s[0];
    soctbl[1] = &s[1];
    srv.soci1 = 0;
    srv.soci2 = 1;
    s[0].conn = 1;
    s[1].conn = 2;
    s[0].enti = s[1].enti = 6;
    point();
  }
  // The state of another end of the same side, in this end's own memory.
  tunnelend& operator=(const tunnelend& o) {
    prm = o.prm;
    memcpy(s, o.s, sizeof s);
    memcpy(buf, o.buf, sizeof buf);
    memcpy(areas, o.areas, sizeof areas);
    return point();
  }
  // encrsetup(): nonces from the seed files, as for a new connection; the
  // work areas it allocates give way to this end's own.
  uint32_t encrsetup() {
    uint32_t rc = ::encrsetup(&srv, &ctx);
    for (uint8_t* a : {e->encrctx, e->decrctx})
      if (a != areas[0] && a != areas[1]) free(a);
    point();
    return rc;
  }
  uint32_t call(uint32_t calltype) { return tunnel(calltype, e, &ctx); }
  // receive(wire, len): a record in the loop's two steps: its header, then,
  // after a good one, the rest it asks for (zeros past len); both results.
  std::pair<uint32_t, uint32_t> receive(const uint8_t* wire, size_t len) {
    memset(e->rbuf, 0, BUFSIZE);
    memcpy(e->rbuf, wire, std::min(len, size_t(RECHEADER)));
    e->rdone = RECHEADER;
    uint32_t hrc = call(TC_RECV);
    if (hrc != 1 || e->rneed <= RECHEADER || e->rneed > BUFSIZE) return {hrc, 0};
    memcpy(e->rbuf + RECHEADER, wire + RECHEADER,
           std::min(len > RECHEADER ? len - RECHEADER : 0, size_t(e->rneed - RECHEADER)));
    e->rdone = e->rneed;
    return {hrc, call(TC_RECV)};
  }

 private:
  tunnelend& point() {
    e->rbuf = e->wbuf = buf, e->sbufrdsize = e->sbufwrsize = BUFSIZE, e->encrctx = areas[0],
    e->decrctx = areas[1];
    return *this;
  }
};

}   // namespace harness
