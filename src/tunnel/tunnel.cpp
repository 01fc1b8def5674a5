// Placeholder until the handshake and the data records land: no socket is a
// tunnel end yet, so relayed blocks pass unchanged.
#include "tunnel/tunnel.h"

#include <cstdio>

uint32_t tunnel(uint32_t calltype, socent* psoc, runctx* ctx) {
  (void)ctx;
  if (calltype == TC_RECV || calltype == TC_SEND) return 0;
  printf("%lu: ** Error: Invalid call type %lu to tunnel().\n",
         (unsigned long)(psoc->stype == 0 ? psoc->enti + 1 : 0), (unsigned long)calltype);
  printf("   Connection closed.\n");
  return 2;
}
