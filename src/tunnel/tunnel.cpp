#include "tunnel/tunnel.h"

#include <cstdio>

#include "common/paramrec.h"
#include "tunnel/handshake.h"
#include "tunnel/records.h"

namespace {

uint32_t dispatch(uint32_t calltype, socent* psoc, runctx* ctx, uint32_t connid) {
  const paramrec* prm = ctx->paramrec;
  if (psoc->stype != 0) {
    printf("%lu: ** Error in tunnel(): psoc->stype %lu is not 0.\n", (unsigned long)connid,
           (unsigned long)psoc->stype);
    return TR_STYPE;
  }
  bool server = isserverstep(calltype);
  bool client = isclientstep(calltype);
  if ((server && !isserversideend(psoc, prm)) || (client && !isclientsideend(psoc, prm))) {
    printf("%lu: ** Error in tunnel(): invalid call.\n", (unsigned long)connid);
    return TR_WRONGEND;
  }
  if (server) return hsserver(calltype, psoc, ctx, connid);
  if (client) return hsclient(calltype, psoc, ctx, connid);
  if (calltype == TC_RECV) return recrecv(psoc, ctx, connid);
  if (calltype == TC_SEND) return recsend(psoc, ctx, connid);
  printf("%lu: ** Error: Invalid call type %lu to tunnel().\n", (unsigned long)connid,
         (unsigned long)calltype);
  return TR_CALLTYPE;
}

}  // namespace

uint32_t tunnel(uint32_t calltype, socent* psoc, runctx* ctx) {
  // Relayed blocks of a plain socket pass untouched and unlogged.
  if ((calltype == TC_RECV || calltype == TC_SEND) && !istunnelend(psoc, ctx->paramrec))
    return TR_DONE;

  uint32_t id = connid(psoc);
  if (ctx->dbglevel >= 2)
    printf("%lu: tunnel(): call type=%lu conn %lu\n", (unsigned long)id, (unsigned long)calltype,
           (unsigned long)psoc->conn);

  uint32_t rc = dispatch(calltype, psoc, ctx, id);
  if (rc >= TR_FAILED) {
    printf("   Connection closed.\n");
    if (ctx->dbglevel >= 2) printf("   tunnel() return value %lu\n", (unsigned long)rc);
  }
  return rc;
}
