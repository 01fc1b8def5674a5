// Key setup: timing values, nonces, work areas, key sets and check sums.
#pragma once
#include <cstdint>

#include "common/conn.h"
#include "common/runctx.h"

// gennonce(vals, count, out): mix timing values, two seed-file generators,
// system figures and bytes of the system's random source into 32 bytes; 0,
// a generator's code, 10 (disk figure unknown) or 11 (random source failed).
int gennonce(const uint32_t* vals, uint32_t count, uint8_t out[32]);

// Seams of gennonce for tests: gennonce_random is the system's random source
// it draws on (sys_random), gennonce_seen, when set, is shown each entropy
// record just before it is derived into the nonce seed.
extern int (*gennonce_random)(void* buf, uint32_t len);
extern void (*gennonce_seen)(const uint8_t* rec, uint32_t len);

// encrsetup(psrv, ctx): nonces and cipher work areas for the connection's
// tunnel ends; 0 ok (or no tunnel), 1 out of memory (message printed).
uint32_t encrsetup(srvent* psrv, runctx* ctx);

// tunnnelkeys(psoc, ctx, user, a, b, c, d): derive a key set from the user's
// secret and the non-null nonces and install it in psoc; 0 ok, 1 refused.
uint32_t tunnnelkeys(socent* psoc, runctx* ctx, const userent* user, const uint8_t* a,
                     const uint8_t* b, const uint8_t* c, const uint8_t* d);

// checksum(psoc, data, len, out): HMAC-SHA1 under psoc's hmackey, then 12 zero bytes.
void checksum(const socent* psoc, const uint8_t* data, uint32_t len, uint8_t out[32]);
