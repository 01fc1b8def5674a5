// Fuzz target: bytes from the network reaching tunnel() on either side.
// The first input byte picks what the rest is:
//   0..3  Msg1 to Msg4, each received by its side after the messages before
//         it went through untouched; with bit 7 set, Msg2 to Msg4 carry the
//         first 96 bytes sealed with the sender's right key set, so that the
//         checks behind the check sum are reached
//   4     a record as it arrives on the wire (header, then body if the header passes)
//   5     a record's plain fields sealed with a valid header check sum
//   6     a payload and record rules: built, opened, and compared with the original
// Nonces are fixed and key sets made directly: no seed files, no locks.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/tunnelend.h"

namespace {

using harness::tunnelend;
constexpr uint32_t BUFSIZE = tunnelend::BUFSIZE;

// A tunnel end of user "fuzz" with fixed nonces.
struct end : tunnelend {
  explicit end(bool client) : tunnelend(client) {
    prm.numusers = 1;
    harness::setuser(&prm.cluser, "fuzz", "secret");
    harness::setuser(&prm.usertbl[0], "fuzz", "secret");
    memset(e->nonce1, client ? 1 : 3, 32);
    memset(e->nonce2, client ? 2 : 4, 32);
  }
};

// Both ends as they stand when message m is on its way (Msg4 before step 34
// wipes the server's nonces), and the sender's check sum key and fresh
// encryption area for that message: made once, restored for every input.
struct snapshot {
  end c{true}, s{false}, sealer{false};
};
snapshot* snapshots() {
  static snapshot sn[5];
  end c(true), s(false);
  for (uint32_t x : {50, 51, 1, 31, 32, 2, 52, 53, 3, 33, 4, 34, 54}) {
    if (x > 4 && (x >= 50 ? c : s).call(x) != 0) abort();
    if (x > 4) continue;
    end &from = x % 2 ? c : s, &to = x % 2 ? s : c;
    memcpy(to.e->rbuf, from.e->wbuf, HSMSGLEN);
    to.e->rdone = HSMSGLEN;
    sn[x].c = c;
    sn[x].s = s;
    const uint8_t* keys[5][2] = {
        {}, {}, {s.e->pnonce1, nullptr}, {c.e->pnonce1, c.e->nonce1}, {s.e->nonce1, s.e->pnonce1}};
    sn[x].sealer.e->conn = from.e->conn;
    if (x > 1 && tunnnelkeys(sn[x].sealer.e, &from.ctx, &from.e->authent, keys[x][0], keys[x][1],
                             nullptr, nullptr))
      abort();
  }
  return sn;
}

void handshake(int m, bool sealed, const uint8_t* d, size_t n) {
  static snapshot* sn = snapshots();
  static end c(true), s(false), sealer(false);
  c = sn[m].c;
  s = sn[m].s;
  end& to = m % 2 ? s : c;
  memset(to.e->rbuf, 0, HSMSGLEN);
  memcpy(to.e->rbuf, d, std::min(n, size_t(HSMSGLEN)));
  if (sealed && m > 1) {
    sealer = sn[m].sealer;
    checksum(sealer.e, to.e->rbuf, 96, to.e->rbuf + 96);
    dataencr(sealer.e->encrctx, to.e->rbuf, to.e->rbuf, HSMSGLEN);
  }
  const uint32_t receiver[] = {0, 31, 52, 33, 54};
  to.call(receiver[m]);
}

// A keyed sender (clientside conn 2) and receiver (serverside conn 1), made
// once; each input starts from copies of their fresh work areas.
struct keyed {
  end c{true}, s{false};
  uint8_t cencr[CTXSIZE_RC4], sdecr[CTXSIZE_RC4];
  keyed() {
    if (tunnnelkeys(c.e, &c.ctx, &c.prm.cluser, c.e->nonce1, nullptr, nullptr, nullptr) ||
        tunnnelkeys(s.e, &s.ctx, &c.prm.cluser, c.e->nonce1, nullptr, nullptr, nullptr))
      abort();
    memcpy(cencr, c.e->encrctx, CTXSIZE_RC4);
    memcpy(sdecr, s.e->decrctx, CTXSIZE_RC4);
  }
  void reset() {
    memcpy(c.e->encrctx, cencr, CTXSIZE_RC4);
    memcpy(s.e->decrctx, sdecr, CTXSIZE_RC4);
  }
  // receive(wire, len): a record handed to the receiver; a header step that
  // passes asks for a length that fits the buffer, a body that passes holds
  // a payload that fits too.
  uint32_t receive(const uint8_t* wire, size_t len) {
    std::pair<uint32_t, uint32_t> rc = s.receive(wire, len);
    if (rc.first == 1 && (s.e->rneed <= RECHEADER || s.e->rneed > BUFSIZE)) abort();
    if (rc.first == 1 && rc.second == 0 && (s.e->rdone == 0 || s.e->rdone > BUFSIZE - RECOVERHEAD))
      abort();
    return rc.first == 1 ? rc.second : rc.first;
  }
};

void records(int mode, const uint8_t* d, size_t n) {
  static keyed k;
  k.reset();
  if (mode == 4) {
    k.receive(d, n);
  } else if (mode == 5 && n >= 9) {   // lengths, byte 8, body
    uint8_t rec[BUFSIZE] = {};
    memcpy(rec, d, 9);
    rec[8] = d[8] & 1 ? d[8] : 0;
    checksum(k.c.e, rec, 16, rec + 16);
    size_t len = std::min(n - 9 + RECHEADER, size_t(BUFSIZE));
    memcpy(rec + RECHEADER, d + 9, len - RECHEADER);
    dataencr(k.c.e->encrctx, rec, rec, uint32_t(len));
    k.receive(rec, len);
  } else if (mode == 6 && n >= 6) {   // payload length, msglenmult, minmsglen, payload bytes
    uint32_t payload = (d[0] | d[1] << 8) % (BUFSIZE - RECOVERHEAD) + 1;
    k.c.prm.msglenmult = ((d[2] | d[3] << 8) % 4096 + 16) & ~15u,
    k.c.prm.minmsglen = (d[4] | d[5] << 8) % 8192;
    socent* w = k.c.e;
    uint8_t want[BUFSIZE];
    for (uint32_t i = 0; i < payload; i++) want[i] = n > 6 ? d[6 + i % (n - 6)] : uint8_t(i);
    memcpy(w->wbuf, want, payload);
    w->wlen = payload;
    uint32_t rc = k.c.call(TC_SEND);
    if (rc == TR_NOFIT) return;   // the padded record does not fit this buffer
    if (rc != 0 || w->wlen % 16 || w->wlen > BUFSIZE || w->wlen < payload + RECOVERHEAD) abort();
    if (k.receive(w->wbuf, w->wlen) != 0 || k.s.e->rdone != payload ||
        memcmp(k.s.e->rbuf, want, payload) != 0)
      abort();
  }
}

}   // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  [[maybe_unused]] static bool quiet = freopen("/dev/null", "w", stdout) != nullptr;
  if (size < 1) return 0;
  int mode = (data[0] & 0x7F) % 7;
  if (mode < 4)
    handshake(mode + 1, data[0] & 0x80, data + 1, size - 1);
  else
    records(mode, data + 1, size - 1);
  return 0;
}
