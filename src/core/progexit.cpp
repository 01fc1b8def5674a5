#include "core/progexit.h"

#include <cstdio>
#include <cstdlib>

#include "common/paramrec.h"
#include "crypto/secure.h"
#include "platform/net.h"

void progexit(uint32_t code, runctx* ctx) {
  if (ctx->wsastarted) net_cleanup();
  // The record holds the users and their secrets.
  if (ctx->paramrec) secure_zero(ctx->paramrec, sizeof *ctx->paramrec);
  if (ctx->dbglevel != 0) printf("kevra terminated with exit code %lu\n", (unsigned long)code);
  fflush(stdout);
  exit(int(code));
}

int initwinsock22(uint32_t mode) {
  (void)mode;
  uint16_t granted = 0;
  int rc = net_startup(2, 2, &granted);
  if (rc != 0) return rc;
  if (granted != 0x0202) {
    net_cleanup();
    return 199;
  }
  return 0;
}
