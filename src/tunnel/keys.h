// The key sets of the handshake, derived from a user's secret and the
// nonces, and the check sum they key.
#pragma once
#include <cstdint>

#include "common/conn.h"
#include "common/runctx.h"

// tunnnelkeys(psoc, ctx, user, a, b, c, d): derive a key set from the user's
// secret and the non-null nonces and install it in psoc; 0 ok, 1 refused.
uint32_t tunnnelkeys(socent* psoc, runctx* ctx, const userent* user, const uint8_t* a,
                     const uint8_t* b, const uint8_t* c, const uint8_t* d);

// checksum(psoc, data, len, out): HMAC-SHA1 under psoc's hmackey, then 12 zero bytes.
void checksum(const socent* psoc, const uint8_t* data, uint32_t len, uint8_t out[32]);
