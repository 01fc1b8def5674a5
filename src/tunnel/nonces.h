// The nonces of a connection's tunnel ends: the entropy they are drawn from
// (timing values, the seed-file generators, system figures, the system's
// random source), and the work areas that encrsetup gives each end.
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
