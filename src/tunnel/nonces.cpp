#include "tunnel/nonces.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "common/log.h"
#include "crypto/bytes.h"
#include "crypto/pbkdf2.h"
#include "crypto/secure.h"
#include "platform/clock.h"
#include "platform/statedir.h"
#include "platform/sysinfo.h"
#include "tunnel/sysrand.h"

namespace {

// Seed-file name of the generator, kept only as two byte arrays whose XOR is
// the text, so the name does not stand in the binary as a string; the folder
// is the platform's state folder. Index SEEDSELECT is the character that
// picks one of the two seed files.
constexpr uint32_t SEEDNAMELEN = 6;
constexpr uint32_t SEEDSELECT = 1;
constexpr uint8_t seedmaska[SEEDNAMELEN] = {0x43, 0xF3, 0xDF, 0x95, 0xFF, 0x54};
constexpr uint8_t seedmaskb[SEEDNAMELEN] = {0x30, 0xC3, 0xF1, 0xFE, 0x89, 0x26};

// Salt of the seed derivation; it never leaves this instance.
constexpr uint8_t nonceseedsalt[8] = {0x6B, 0x76, 0x72, 0x2D, 0x6E, 0x73, 0xA5, 0x3C};
constexpr uint32_t NONCESEEDITER = 10;

constexpr char NONCESALT[] = "vimbe-RQ-374";   // nonce block of encrsetup
constexpr uint32_t NONCEITER = 4;
constexpr uint32_t SALTLEN = 12;

constexpr uint32_t MAXVALS = 10;                // 1 start tick + 4 arrivals + 5 console lines
constexpr uint32_t OSRANDLEN = 32;              // bytes of the system's random source
constexpr uint32_t ENTROPYMAX = 36 + 2 * (MAXVALS - 1) + OSRANDLEN;
constexpr uint32_t DISKFAILED = 98765;          // stands in for the free blocks when unknown
constexpr int GENNONCE_SEEDRC = SYSRAND_SEEDFILE;  // a refused seed file, as sysrand reports it
constexpr uint32_t GENNONCE_DISKRC = 10;
constexpr uint32_t GENNONCE_OSRANDRC = 11;      // the system's random source failed

}  // namespace

int (*gennonce_random)(void* buf, uint32_t len) = sys_random;
void (*gennonce_seen)(const uint8_t* rec, uint32_t len) = nullptr;

int gennonce(const uint32_t* vals, uint32_t count, uint8_t out[32]) {
  if (count > MAXVALS) count = MAXVALS;
  uint32_t t0 = count ? vals[0] : tickcount();

  // Two steps of the generators, one per seed file. The second result counts,
  // or the first when the second is good, so that a seed file refused for
  // either generator is reported. A state folder too long for a path leaves
  // it empty: sysrand then reports seed-file trouble and hands out its
  // fallback values.
  char name[SEEDNAMELEN + 1];
  for (uint32_t i = 0; i < SEEDNAMELEN; i++) name[i] = (char)(seedmaska[i] ^ seedmaskb[i]);
  name[SEEDNAMELEN] = '\0';
  char path[STATEPATHMAX];
  uint32_t r[4] = {SYSRAND_FALLBACK1, SYSRAND_FALLBACK2, SYSRAND_FALLBACK1, SYSRAND_FALLBACK2};
  int rc = GENNONCE_SEEDRC;
  // In a refused state folder the seed files are not even looked for: they
  // count as refused, with the values sysrand gives then.
  if (state_folderok()) {
    name[SEEDSELECT] = '1';
    state_path(name, path);
    int rc1 = (int)sysrand(SYSRAND_STEP, path, &r[0], &r[1]);
    name[SEEDSELECT] = '2';
    state_path(name, path);
    rc = (int)sysrand(SYSRAND_STEP, path, &r[2], &r[3]);
    if (rc == 0) rc = rc1;
  }
  secure_zero(name, sizeof name);
  secure_zero(path, sizeof path);

  // Fill the entropy record, numbers little-endian.
  uint8_t rec[ENTROPYMAX];
  for (uint32_t i = 0; i < 4; i++) store32le(rec + 4 * i, r[i]);
  store16le(rec + 16, sys_threadid());
  store16le(rec + 18, sys_processid());
  uint64_t blocks;
  if (sys_diskfree(&blocks) != 0) {
    blocks = DISKFAILED;
    if (rc == 0) rc = GENNONCE_DISKRC;
  }
  // Only the low 32 bits of the large figures fit; they are also the ones that vary most.
  store32le(rec + 20, (uint32_t)blocks);
  store32le(rec + 24, (uint32_t)sys_availmem());
  store32le(rec + 28, t0);
  localtm lt;
  getlocaltm(&lt);
  uint32_t now = tickcount();   // after the local time, so the two drift apart
  store32le(rec + 32, t0 + lt.milliseconds + 1000u * (lt.second + 60u * lt.minute) - now);
  uint32_t len = 36;
  for (uint32_t i = 1; i < count; i++, len += 2) store16le(rec + len, vals[i] - t0);
  // The seed files are shared state that someone may have read or set, and
  // the other figures can be guessed: bytes of the system's random source
  // keep the nonces unpredictable all the same. They stay in this instance.
  if (gennonce_random(rec + len, OSRANDLEN) != 0) {
    secure_zero(rec + len, OSRANDLEN);
    if (rc == 0) rc = GENNONCE_OSRANDRC;
  }
  len += OSRANDLEN;

  if (gennonce_seen != nullptr) gennonce_seen(rec, len);
  pbkdf2(rec, len, nonceseedsalt, sizeof nonceseedsalt, NONCESEEDITER, out, NONCELEN);
  secure_zero(rec, sizeof rec);
  secure_zero(r, sizeof r);
  return rc;
}

uint32_t encrsetup(srvent* psrv, runctx* ctx) {
  paramrec* prm = ctx->paramrec;
  if (!prm->clientside && !prm->serverside) return 0;

  // Collect the timing values: start, connection arrivals, console lines.
  uint32_t vals[MAXVALS];
  uint32_t n = 0;
  vals[n++] = ctx->starttick;
  for (uint32_t i = 0; i < ctx->num1 && i < RING1SLOTS; i++) vals[n++] = ctx->ticks1[i];
  for (uint32_t i = 0; i < ctx->num2 && i < RING2SLOTS; i++) vals[n++] = ctx->ticks2[i];
  if (ctx->dbglevel >= 3) {
    printf("encrsetup: # vals=%lu, vals =", (unsigned long)n);
    for (uint32_t i = 0; i < n; i++) printf(" %lu", (unsigned long)vals[i]);
    printf("\n");
  }

  uint8_t seed[NONCELEN];
  int rc = gennonce(vals, n, seed);
  // A refused state folder stays refused for the run: it is reported once,
  // not at every connection.
  static bool folderreported = false;
  bool folder = rc == GENNONCE_SEEDRC && !state_folderok();
  if (rc != 0 && !(folder && folderreported)) printf("** Warning: In encrsetup(), gennonce() gave rc=%d\n", rc);
  if (folder) folderreported = true;
  secure_zero(vals, sizeof vals);

  // Two nonces per tunnel end, conn 1's first.
  uint32_t c = (prm->serverside ? 2 : 0) + (prm->clientside ? 2 : 0);
  uint8_t block[4 * NONCELEN];
  pbkdf2(seed, NONCELEN, (const uint8_t*)NONCESALT, SALTLEN, NONCEITER, block, c * NONCELEN);
  if (ctx->dbglevel >= 3) {
    printf("encrsetup: %lu nonces (%lu bytes each) =\n", (unsigned long)c, (unsigned long)NONCELEN);
    hexdump(block, c * NONCELEN);
  }
  secure_zero(seed, sizeof seed);

  uint32_t result = 0;
  const uint8_t* next = block;
  for (uint32_t soci : {psrv->soci1, psrv->soci2}) {
    socent* psoc = ctx->soctbl[soci];
    if (!istunnelend(psoc, prm)) continue;
    // The work areas belong to the entry from here on; freeing the connection releases them.
    psoc->encrctx = (uint8_t*)malloc(prm->ctxsize);
    if (psoc->encrctx) psoc->decrctx = (uint8_t*)malloc(prm->ctxsize);
    if (!psoc->encrctx || !psoc->decrctx) {
      printf("** Error: Not enough memory to allocate encr/decr work areas.\n");
      printf("   Connection rejected.\n");
      result = 1;
      break;
    }
    memcpy(psoc->nonce1, next, NONCELEN);
    memcpy(psoc->nonce2, next + NONCELEN, NONCELEN);
    next += 2 * NONCELEN;
  }
  secure_zero(block, sizeof block);
  return result;
}
