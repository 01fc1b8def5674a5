// Placeholder until the reader lands: defaults only.
#include "params/paramfile.h"

#include <cstdio>
#include <cstring>

#include "params/paramrec.h"

void readparamfile(const char* path, runctx* ctx) {
  paramrec* prm = ctx->paramrec;
  memset(prm, 0, sizeof *prm);
  prm->encrtype = ENCR_RC4;
  prm->ctxsize = CTXSIZE_RC4;
  prm->minmsglen = 0;
  prm->msglenmult = 256;
  if (ctx->dbglevel >= 1)
    printf("Max filter statements: %lu\nMax serverside usernames: %lu\n", (unsigned long)MAXFILT,
           (unsigned long)MAXUSERS);
  (void)path;
}
