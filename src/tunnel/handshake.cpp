// The four-message handshake. The server side runs it in conn 1's buffer,
// the client side in conn 2's; each message is 128 bytes:
//   Msg1 C->S clear:   "Msg1" B5 B5, 1, 80, 6 zero | client nonce 1 | username (80)
//   Msg2 S->C under K1: client nonce 1 | server nonce 1 | "Msg2" | 28 zero | check sum
//   Msg3 C->S under K2: server nonce 1 | client nonce 2 | "Msg3" | 28 zero | check sum
//   Msg4 S->C under K2: client nonce 2 | server nonce 2 | "Msg4" | 28 zero | check sum
// K1 = keys(client nonce 1), K2 = keys(server nonce 1, client nonce 1),
// K3 = keys(server nonce 2, client nonce 1, server nonce 1, client nonce 2).
// A key set is derived as soon as all its nonces are known and our last
// message under the previous set has gone out: the client derives K1 once
// Msg1 is sent, the server K2 once Msg2 is sent, each while the peer works on
// its own derivation. Only three derivations then lie one after the other on
// the way to the first data record (server K1, client K2, client K3).
// docs/protocol.md numbers the steps: C1 to C5 on the client side, S1 to S4
// on the server side; each case below names its step.
#include "tunnel/handshake.h"

#include <cstdio>
#include <cstring>

#include "common/printable.h"
#include "crypto/cipher.h"
#include "crypto/secure.h"
#include "params/uprompt.h"
#include "tunnel/keys.h"
#include "tunnel/tunnel.h"

namespace {

constexpr uint32_t NL = NONCELEN;         // nonce length
constexpr uint32_t TAGOFF = 64;           // "MsgN" of Msg2..Msg4
constexpr uint32_t SUMOFF = 96;           // check sum of bytes 0..95
constexpr uint32_t MSG1HDRLEN = 10;       // bytes of Msg1 the server compares
constexpr uint32_t MSG1NONCE = 16;
constexpr uint32_t MSG1USER = 48;

// The first 16 bytes of every Msg1: tag, marker, version 1, username length 80.
constexpr uint8_t msg1hdr[16] = {'M', 's', 'g', '1', 0xB5, 0xB5, 1, 0, 80, 0, 0, 0, 0, 0, 0, 0};

// buildmsg(psoc, buf, first, second, tag, connid): lay out Msg2..Msg4 in buf,
// add its check sum and encrypt it in place; TR_DONE or TR_ENCR.
uint32_t buildmsg(socent* psoc, uint8_t* buf, const uint8_t* first, const uint8_t* second,
                  const char* tag, uint32_t connid) {
  memmove(buf, first, NL);
  memmove(buf + NL, second, NL);
  memcpy(buf + TAGOFF, tag, 4);
  memset(buf + TAGOFF + 4, 0, SUMOFF - TAGOFF - 4);
  checksum(psoc, buf, SUMOFF, buf + SUMOFF);
  uint32_t rc = dataencr(psoc->encrctx, buf, buf, HSMSGLEN);
  if (rc != CRYPT_OK) {
    printf("%lu: ** dataencr() error rc=%lu\n", (unsigned long)connid, (unsigned long)rc);
    return TR_ENCR;
  }
  return TR_DONE;
}

// openmsg(psoc, buf, connid): decrypt a received Msg2..Msg4 in place; TR_DONE or TR_DECR.
uint32_t openmsg(socent* psoc, uint8_t* buf, uint32_t connid) {
  uint32_t rc = datadecr(psoc->decrctx, buf, buf, HSMSGLEN);
  if (rc != CRYPT_OK) {
    printf("%lu: ** datadecr() error rc=%lu\n", (unsigned long)connid, (unsigned long)rc);
    return TR_DECR;
  }
  return TR_DONE;
}

// checkmsg(psoc, buf, tag, echo, zero68, connid): the receiver's checks of a
// decrypted message: check sum (all 32 bytes), tag, optionally byte 68, and
// the echo of our own nonce; TR_DONE or TR_BADMSG with its two lines.
uint32_t checkmsg(const socent* psoc, const uint8_t* buf, const char* tag, const uint8_t* echo,
                  bool zero68, uint32_t connid) {
  uint8_t sum[32];
  checksum(psoc, buf, SUMOFF, sum);
  bool ok = ctequal(sum, buf + SUMOFF, sizeof sum);
  ok = ok && memcmp(buf + TAGOFF, tag, 4) == 0;
  ok = ok && (!zero68 || buf[TAGOFF + 4] == 0);
  ok = ok && ctequal(buf, echo, NL);
  secure_zero(sum, sizeof sum);
  if (ok) return TR_DONE;
  printf("%lu: ** Incorrect message received during authentication.\n", (unsigned long)connid);
  printf("      Possible wrong secret, or mismatched encryption type.\n");
  return TR_BADMSG;
}

void setwrite(socent* psoc, uint32_t action) {
  psoc->oper = OP_WR;
  psoc->wlen = HSMSGLEN;
  psoc->wdone = 0;
  psoc->action = action;
}

void setread(socent* psoc, uint32_t action) {
  psoc->oper = OP_RD;
  psoc->rneed = HSMSGLEN;
  psoc->rdone = 0;
  psoc->action = action;
}

// wipehs(psoc): the nonces and the user are not needed once K3 is installed.
void wipehs(socent* psoc) {
  secure_zero(psoc->nonce1, sizeof psoc->nonce1);
  secure_zero(psoc->nonce2, sizeof psoc->nonce2);
  secure_zero(psoc->pnonce1, sizeof psoc->pnonce1);
  secure_zero(psoc->pnonce2, sizeof psoc->pnonce2);
  secure_zero(&psoc->authent, sizeof psoc->authent);
}

}  // namespace

uint32_t hsserver(uint32_t calltype, socent* psoc, runctx* ctx, uint32_t connid) {
  uint8_t* buf = psoc->rbuf;
  uint32_t rc;
  switch (calltype) {
    case ACT_S_MSG1READ: {  // step S1
      printf("%lu: Authenticating conn 1 (as server side of tunnel)\n", (unsigned long)connid);
      if (memcmp(buf, msg1hdr, MSG1HDRLEN) != 0) {
        printf("%lu: ** Authentication failed: invalid Msg1 header.\n", (unsigned long)connid);
        return TR_MSG1;
      }
      memcpy(psoc->pnonce1, buf + MSG1NONCE, NL);
      memcpy(psoc->authent.uname, buf + MSG1USER, UNAMELEN);
      if (uprompt(3, ctx, &psoc->authent, connid) != 0) return TR_USER;
      char name[UNAMELEN + 1];
      printable(psoc->authent.uname, psoc->authent.ulen < UNAMELEN ? psoc->authent.ulen : UNAMELEN,
                name);
      printf("   Username: %s\n", name);
      // Msg2: client nonce 1 echoed, server nonce 1, under K1.
      if (tunnnelkeys(psoc, ctx, &psoc->authent, psoc->pnonce1, nullptr, nullptr, nullptr))
        return TR_KEYS;
      if ((rc = buildmsg(psoc, buf, psoc->pnonce1, psoc->nonce1, "Msg2", connid))) return rc;
      // Msg2 goes out from the buffer Msg1 came in.
      psoc->wbuf = buf;
      psoc->sbufwrsize = psoc->sbufrdsize;
      setwrite(psoc, ACT_S_MSG2SENT);
      return TR_DONE;
    }
    case ACT_S_MSG2SENT:  // step S2
      // K2 while the client derives its own; Msg3 will need it.
      if (tunnnelkeys(psoc, ctx, &psoc->authent, psoc->nonce1, psoc->pnonce1, nullptr, nullptr))
        return TR_KEYS;
      setread(psoc, ACT_S_MSG3READ);
      return TR_DONE;
    case ACT_S_MSG3READ:  // step S3
      if ((rc = openmsg(psoc, buf, connid))) return rc;
      // Byte 68 of Msg3 is not looked at: peers may rely on that.
      if ((rc = checkmsg(psoc, buf, "Msg3", psoc->nonce1, false, connid))) return rc;
      memcpy(psoc->pnonce2, buf + NL, NL);
      if ((rc = buildmsg(psoc, buf, psoc->pnonce2, psoc->nonce2, "Msg4", connid))) return rc;
      setwrite(psoc, ACT_S_MSG4SENT);
      return TR_DONE;
    case ACT_S_MSG4SENT:  // step S4
      if (tunnnelkeys(psoc, ctx, &psoc->authent, psoc->nonce2, psoc->pnonce1, psoc->nonce1,
                      psoc->pnonce2))
        return TR_KEYS;
      wipehs(psoc);
      return TR_DONE;
  }
  return TR_CALLTYPE;
}

uint32_t hsclient(uint32_t calltype, socent* psoc, runctx* ctx, uint32_t connid) {
  uint32_t rc;
  switch (calltype) {
    case ACT_C_START: {  // step C1
      printf("%lu: Authenticating conn 2 (as client side of tunnel)\n", (unsigned long)connid);
      // Without a complete user (console input ended) Msg1 would carry an
      // empty name and fail on the far side anyway: stop here instead.
      if (uprompt(2, ctx, &psoc->authent, connid) != 0) return TR_USER;
      uint8_t* buf = psoc->wbuf;
      memcpy(buf, msg1hdr, sizeof msg1hdr);
      memcpy(buf + MSG1NONCE, psoc->nonce1, NL);
      memcpy(buf + MSG1USER, psoc->authent.uname, UNAMELEN);
      setwrite(psoc, ACT_C_MSG1SENT);
      return TR_DONE;
    }
    case ACT_C_MSG1SENT:  // step C2
      // K1 while the server derives its own; Msg2 will need it.
      if (tunnnelkeys(psoc, ctx, &psoc->authent, psoc->nonce1, nullptr, nullptr, nullptr))
        return TR_KEYS;
      // Msg2 arrives in the buffer Msg1 left from.
      psoc->rbuf = psoc->wbuf;
      psoc->sbufrdsize = psoc->sbufwrsize;
      setread(psoc, ACT_C_MSG2READ);
      return TR_DONE;
    case ACT_C_MSG2READ: {  // step C3
      uint8_t* buf = psoc->rbuf;
      if ((rc = openmsg(psoc, buf, connid))) return rc;
      if ((rc = checkmsg(psoc, buf, "Msg2", psoc->nonce1, true, connid))) return rc;
      memcpy(psoc->pnonce1, buf + NL, NL);
      if (tunnnelkeys(psoc, ctx, &psoc->authent, psoc->pnonce1, psoc->nonce1, nullptr, nullptr))
        return TR_KEYS;
      if ((rc = buildmsg(psoc, buf, psoc->pnonce1, psoc->nonce2, "Msg3", connid))) return rc;
      setwrite(psoc, ACT_C_MSG3SENT);
      return TR_DONE;
    }
    case ACT_C_MSG3SENT:  // step C4
      setread(psoc, ACT_C_MSG4READ);
      return TR_DONE;
    case ACT_C_MSG4READ: {  // step C5
      uint8_t* buf = psoc->rbuf;
      if ((rc = openmsg(psoc, buf, connid))) return rc;
      if ((rc = checkmsg(psoc, buf, "Msg4", psoc->nonce2, true, connid))) return rc;
      memcpy(psoc->pnonce2, buf + NL, NL);
      if (tunnnelkeys(psoc, ctx, &psoc->authent, psoc->pnonce2, psoc->nonce1, psoc->pnonce1,
                      psoc->nonce2))
        return TR_KEYS;
      wipehs(psoc);
      // The plain Msg4 still holds both server nonces; the buffer goes to relaying next.
      secure_zero(buf, HSMSGLEN);
      return TR_DONE;
    }
  }
  return TR_CALLTYPE;
}
