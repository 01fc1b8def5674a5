// The four-message handshake of tunnel(), one function per side. Each
// returns tunnel()'s result and prints its own failure message; tunnel()
// adds the common exit lines.
#pragma once
#include <cstdint>

#include "common/conn.h"
#include "common/runctx.h"

// hsserver(calltype, psoc, ctx, connid): server side steps 31 to 34 on conn 1.
uint32_t hsserver(uint32_t calltype, socent* psoc, runctx* ctx, uint32_t connid);
// hsclient(calltype, psoc, ctx, connid): client side steps 50 to 54 on conn 2.
uint32_t hsclient(uint32_t calltype, socent* psoc, runctx* ctx, uint32_t connid);
