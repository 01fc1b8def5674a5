// Data records, built and opened in the relay buffer itself:
//   0 payload len | 4 pad len | 8 zero (8) | 16 header check sum (32)
//   48 payload | pad (zero) | totlen - 32 record check sum (32)
// totlen = payload len + pad len + 80; numbers little-endian. A record is
// encrypted whole in one call; the receiver decrypts the header first and
// checks it before it reads the rest. Steps R0 (the start-up check of the
// options), R1 (send), R2 (header) and R3 (body) of docs/protocol.md.
#include "tunnel/records.h"

#include <cstdio>
#include <cstring>

#include "common/paramrec.h"
#include "crypto/bytes.h"
#include "crypto/cipher.h"
#include "crypto/secure.h"
#include "tunnel/keys.h"
#include "tunnel/tunnel.h"

namespace {

constexpr uint32_t SUMLEN = 32;
constexpr uint32_t HDRSUMOFF = 16;   // header check sum covers bytes 0..15

// sumok(psoc, data, len, sum): the check sum of len bytes equals the 32 at sum.
bool sumok(const socent* psoc, const uint8_t* data, uint32_t len, const uint8_t* sum) {
  uint8_t mine[SUMLEN];
  checksum(psoc, data, len, mine);
  bool ok = ctequal(mine, sum, SUMLEN);
  secure_zero(mine, sizeof mine);
  return ok;
}

uint32_t decr(socent* psoc, uint8_t* p, uint32_t len, uint32_t connid) {
  uint32_t rc = datadecr(psoc->decrctx, p, p, len);
  if (rc != CRYPT_OK) {
    printf("%lu: ** datadecr() error rc=%lu\n", (unsigned long)connid, (unsigned long)rc);
    return TR_DECR;
  }
  return TR_DONE;
}

uint32_t badheader(uint32_t rc, uint32_t connid) {
  printf("%lu: ** Data decryption: Invalid record header.\n", (unsigned long)connid);
  return rc;
}

}  // namespace

uint32_t recsend(socent* psoc, runctx* ctx, uint32_t connid) {
  const paramrec* prm = ctx->paramrec;
  uint8_t* buf = psoc->wbuf;
  uint32_t payload = psoc->wlen;
  if (ctx->dbglevel >= 3)
    printf("   inplen=%lu maxlen=%lu\n", (unsigned long)payload, (unsigned long)psoc->sbufwrsize);

  // Pad up to minmsglen, then to a multiple of msglenmult; 64 bits so that
  // no length can wrap around.
  uint64_t totlen = (uint64_t)payload + RECOVERHEAD, pad = 0;
  if (totlen < prm->minmsglen) {
    pad = prm->minmsglen - totlen;
    totlen = prm->minmsglen;
  }
  uint64_t mult = prm->msglenmult ? prm->msglenmult : 1;
  uint64_t r = (totlen + mult - 1) / mult * mult;
  if (r > totlen) {
    pad += r - totlen;
    totlen = r;
  }
  if (ctx->dbglevel >= 3)
    printf("   payload len=%lu pad len=%lu totlen=%lu\n", (unsigned long)payload,
           (unsigned long)pad, (unsigned long)totlen);
  if (totlen > psoc->sbufwrsize) {
    printf("%lu: ** Error: encrypted data record (len %lu) does not fit in buffer (len %lu)\n",
           (unsigned long)connid, (unsigned long)totlen, (unsigned long)psoc->sbufwrsize);
    return TR_NOFIT;
  }

  // Shift the payload up behind the header (overlapping), zero the pad, add the header.
  uint32_t tl = (uint32_t)totlen;
  memmove(buf + RECHEADER, buf, payload);
  memset(buf + RECHEADER + payload, 0, (size_t)pad);
  store32le(buf, payload);
  store32le(buf + 4, (uint32_t)pad);
  memset(buf + 8, 0, 8);
  checksum(psoc, buf, HDRSUMOFF, buf + HDRSUMOFF);
  checksum(psoc, buf, tl - SUMLEN, buf + tl - SUMLEN);

  uint32_t rc = dataencr(psoc->encrctx, buf, buf, tl);
  if (rc != CRYPT_OK) {
    printf("%lu: ** dataencr() error rc=%lu\n", (unsigned long)connid, (unsigned long)rc);
    return TR_ENCR;
  }
  psoc->wlen = tl;
  return TR_DONE;
}

uint32_t recrecv(socent* psoc, runctx* ctx, uint32_t connid) {
  uint8_t* buf = psoc->rbuf;
  uint32_t inplen = psoc->rdone, maxlen = psoc->sbufrdsize;
  if (ctx->dbglevel >= 3)
    printf("   inplen=%lu maxlen=%lu\n", (unsigned long)inplen, (unsigned long)maxlen);
  if (inplen < RECHEADER || inplen > maxlen) {
    printf("%lu: ** Data decryption: Bad value or call.\n", (unsigned long)connid);
    return inplen < RECHEADER ? TR_SHORT : TR_OVERLONG;
  }

  uint32_t rc;
  if (inplen == RECHEADER) {
    // Step R2: nothing past byte 47 is read before the header checks out.
    if ((rc = decr(psoc, buf, RECHEADER, connid))) return rc;
    if (!sumok(psoc, buf, HDRSUMOFF, buf + HDRSUMOFF)) return badheader(TR_HDRSUM, connid);
    if (buf[8] != 0) return badheader(TR_HDRBYTE8, connid);
    uint32_t payload = load32le(buf), pad = load32le(buf + 4);
    uint64_t totlen = (uint64_t)payload + pad + RECOVERHEAD;
    if (ctx->dbglevel >= 3)
      printf("   payload len=%lu pad len=%lu totlen=%lu\n", (unsigned long)payload,
             (unsigned long)pad, (unsigned long)totlen);
    if (payload == 0 || payload >= maxlen || pad >= maxlen || totlen > maxlen) {
      badheader(TR_HDRLEN, connid);
      // The header checked out, so the peer meant it: its buffer is larger.
      if (payload != 0)
        printf("%lu:    (record of %lu bytes, longer than this end's buffer of %lu: "
               "start both ends with the same -buf=)\n",
               (unsigned long)connid, (unsigned long)totlen, (unsigned long)maxlen);
      return TR_HDRLEN;
    }
    psoc->rneed = (uint32_t)totlen;
    psoc->oper |= OP_RD;
    if (ctx->dbglevel >= 2) printf("   tunnel() return value %lu\n", (unsigned long)TR_MORE);
    return TR_MORE;
  }

  // Step R3: the header is plain text since step R2.
  uint32_t payload = load32le(buf), pad = load32le(buf + 4);
  uint64_t totlen = (uint64_t)payload + pad + RECOVERHEAD;
  if (payload == 0 || payload >= inplen || pad >= inplen || totlen != inplen)
    return badheader(TR_BODYLEN, connid);
  uint32_t tl = (uint32_t)totlen;
  if ((rc = decr(psoc, buf + RECHEADER, tl - RECHEADER, connid))) return rc;
  if (!sumok(psoc, buf, tl - SUMLEN, buf + tl - SUMLEN)) {
    printf("%lu: ** Data decryption: Incorrect check sum in received record.\n",
           (unsigned long)connid);
    return TR_RECSUM;
  }
  memmove(buf, buf + RECHEADER, payload);
  psoc->rdone = payload;
  return TR_DONE;
}

uint32_t reccheck(runctx* ctx) {
  paramrec* prm = ctx->paramrec;
  ctx->recbufsize = ctx->bufsize;
  if (!prm->clientside && !prm->serverside) return 0;

  // Records are multiples of 16 bytes, so triple DES always sees whole blocks.
  uint32_t m = (prm->msglenmult + 15) & ~15u;
  if (m != prm->msglenmult) {
    if (ctx->dbglevel) printf("msglenmult option rounded up to %lu\n", (unsigned long)m);
    prm->msglenmult = m;
  }
  uint64_t minrounded = ((uint64_t)prm->minmsglen + m - 1) / m * m;
  if (ctx->bufsize < minrounded) {
    printf("** Error: minmsglen option is too big relative to buffer size\n");
    return 1;
  }
  ctx->recbufsize = ctx->bufsize / m * m;
  if (ctx->recbufsize <= RECOVERHEAD) {
    printf("** Error: msglenmult option is too big relative to buffer size\n");
    return 1;
  }
  return 0;
}

uint32_t recfirstneed(const socent* psoc, const paramrec* prm) {
  return istunnelend(psoc, prm) ? RECHEADER : 0;
}

uint32_t recmaxpayload(const runctx* ctx) {
  return ctx->recbufsize > RECOVERHEAD ? ctx->recbufsize - RECOVERHEAD : 0;
}

bool recfull(const socent* psoc, const runctx* ctx) {
  uint32_t most = recmaxpayload(ctx);
  return most != 0 && psoc->rdone >= most;
}

uint32_t recreadroom(const socent* psoc, const runctx* ctx) {
  uint32_t room = psoc->sbufrdsize;
  uint32_t most = recmaxpayload(ctx);
  if (feedstunnel(psoc, ctx->paramrec) && most != 0 && most < room) room = most;
  return room;
}

// The split payload came in a record that fit the buffer, so it is at least
// RECOVERHEAD bytes shorter than the buffer, and a full record of ours
// (recbufsize bytes) always ends before the part that waits.
void recsplit(socent* psoc, const runctx* ctx) {
  uint32_t part = recmaxpayload(ctx);
  if (part == 0 || psoc->wlen <= part) return;
  psoc->wpend = psoc->wlen - part;
  memmove(psoc->wbuf + psoc->sbufwrsize - psoc->wpend, psoc->wbuf + part, psoc->wpend);
  psoc->wlen = part;
}

void recnextpart(socent* psoc, const runctx* ctx) {
  uint32_t most = recmaxpayload(ctx);
  uint32_t part = psoc->wpend < most ? psoc->wpend : most;
  memmove(psoc->wbuf, psoc->wbuf + psoc->sbufwrsize - psoc->wpend, part);
  psoc->wpend -= part;
  psoc->wlen = part;
  psoc->wdone = 0;
}
