#include "tunnel/reccheck.h"

#include <cstdio>

#include "common/paramrec.h"
#include "tunnel/tunnel.h"

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
