#include "tunnel/keys.h"

#include <cstdio>
#include <cstring>

#include "common/log.h"
#include "common/printable.h"
#include "crypto/cipher.h"
#include "crypto/hmac.h"
#include "crypto/pbkdf2.h"
#include "crypto/secure.h"

namespace {

constexpr char KEYSALT[] = "vimbe-RQ-659";     // key block of tunnnelkeys: part of the protocol
constexpr uint32_t KEYITER = 4000;
constexpr uint32_t SALTLEN = 12;

constexpr uint32_t KEYBLOCKLEN = 84;            // HMAC key 20, session key 1 32, session key 2 32
constexpr uint32_t HMACKEYLEN = 20;
constexpr uint32_t SESSKEYLEN = 32;

}  // namespace

uint32_t tunnnelkeys(socent* psoc, runctx* ctx, const userent* user, const uint8_t* a,
                     const uint8_t* b, const uint8_t* c, const uint8_t* d) {
  paramrec* prm = ctx->paramrec;

  // xkey = secret, then the nonces given, in argument order.
  uint8_t xkey[SECRETLEN + 4 * NONCELEN];
  uint32_t l = user->pwlen < SECRETLEN ? user->pwlen : SECRETLEN;
  memcpy(xkey, user->secret, l);
  uint32_t xlen = l;
  const uint8_t* nonces[4] = {a, b, c, d};
  for (const uint8_t* nonce : nonces) {
    if (!nonce) continue;
    memcpy(xkey + xlen, nonce, NONCELEN);
    xlen += NONCELEN;
  }
  if (ctx->dbglevel >= 3) {
    char first[2];
    printable(user->secret, 1, first);
    printf("  tunnnelkeys(): secret=%c.. len %lu xkey len n1=%lu\n", first[0], (unsigned long)l,
           (unsigned long)xlen);
  }

  uint8_t kb[KEYBLOCKLEN];
  pbkdf2(xkey, xlen, (const uint8_t*)KEYSALT, SALTLEN, KEYITER, kb, KEYBLOCKLEN);
  secure_zero(xkey, sizeof xkey);

  memcpy(psoc->hmackey, kb, HMACKEYLEN);
  if (ctx->dbglevel >= 3) {
    printf("    HMAC key =\n");
    hexdump(psoc->hmackey, HMACKEYLEN);
  }

  // Session key 1 guards client side -> server side, session key 2 the way back.
  uint32_t result = 0;
  for (uint32_t k = 1; k <= 2; k++) {
    const uint8_t* key = kb + HMACKEYLEN + (k - 1) * SESSKEYLEN;
    bool forencr = (psoc->conn == 2) == (k == 1);
    uint8_t* area = forencr ? psoc->encrctx : psoc->decrctx;
    if (ctx->dbglevel >= 3) {
      printf("    Encr type=%lu. Session key %lu (for %swork) =\n", (unsigned long)prm->encrtype,
             (unsigned long)k, forencr ? "encr" : "decr");
      hexdump(key, SESSKEYLEN);
    }
    uint32_t rc = dataencr_init(prm->encrtype, key, SESSKEYLEN, area, prm->ctxsize);
    if (rc != CIPHER_OK) {
      printf("%lu: ** Error rc=%lu from dataencr_init().\n", (unsigned long)connid(psoc),
             (unsigned long)rc);
      result = 1;
      break;
    }
  }
  secure_zero(kb, sizeof kb);
  return result;
}

void checksum(const socent* psoc, const uint8_t* data, uint32_t len, uint8_t out[32]) {
  hmacctx h;
  hmacinit(&h, psoc->hmackey, HMACKEYLEN);
  hmacupdate(&h, data, len);
  hmacfinal(out, &h);
  secure_zero(&h, sizeof h);
  memset(out + 20, 0, 12);
}
