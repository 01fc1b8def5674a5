// Data records: the start-up check of the record options, and building and
// opening one record in the relay buffer. recsend and recrecv return
// tunnel()'s result and print their own failure message; tunnel() adds the
// common exit lines.
#pragma once
#include <cstdint>

#include "common/conn.h"
#include "common/runctx.h"

// reccheck(ctx): step R0 of docs/protocol.md. Set recbufsize, round
// msglenmult up to a multiple of 16; 0 good, 1 a message was printed and the
// relay must end (exit code 18).
uint32_t reccheck(runctx* ctx);

// recsend(psoc, ctx, connid): turn wbuf's wlen bytes into one record in place.
uint32_t recsend(socent* psoc, runctx* ctx, uint32_t connid);
// recrecv(psoc, ctx, connid): check and open the record arriving in rbuf:
// TR_MORE after its header (rneed = totlen), TR_DONE with the payload at the
// start of rbuf.
uint32_t recrecv(socent* psoc, runctx* ctx, uint32_t connid);
