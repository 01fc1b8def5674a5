// The parts of tunnel() behind its common entry: handshake steps and data
// records. Each returns tunnel()'s result and prints its own failure message;
// tunnel() adds the common exit lines.
#pragma once
#include <cstdint>

#include "common/conn.h"
#include "common/runctx.h"

// Failure results of tunnel(), one per cause.
constexpr uint32_t TR_CALLTYPE = 2;    // call type not served
constexpr uint32_t TR_STYPE = 3;       // not a relayed connection's socket
constexpr uint32_t TR_WRONGEND = 4;    // handshake step on the wrong socket or side
constexpr uint32_t TR_KEYS = 5;        // tunnnelkeys refused the key set
constexpr uint32_t TR_MSG1 = 6;        // Msg1 header differs from the template
constexpr uint32_t TR_USER = 7;        // no usable user for this connection
constexpr uint32_t TR_ENCR = 8;        // dataencr error
constexpr uint32_t TR_DECR = 9;        // datadecr error
constexpr uint32_t TR_BADMSG = 10;     // Msg2, Msg3 or Msg4 failed a check
constexpr uint32_t TR_SHORT = 11;      // fewer than a header's bytes handed over
constexpr uint32_t TR_OVERLONG = 12;   // more bytes than the buffer holds
constexpr uint32_t TR_HDRSUM = 13;     // header check sum differs
constexpr uint32_t TR_HDRBYTE8 = 14;   // header byte 8 not zero
constexpr uint32_t TR_HDRLEN = 15;     // header lengths impossible for the buffer
constexpr uint32_t TR_BODYLEN = 16;    // header lengths disagree with the bytes read
constexpr uint32_t TR_RECSUM = 17;     // record check sum differs
constexpr uint32_t TR_NOFIT = 21;      // padded record longer than the write buffer

// hsserver(calltype, psoc, ctx, connid): server side steps 31 to 34 on conn 1.
uint32_t hsserver(uint32_t calltype, socent* psoc, runctx* ctx, uint32_t connid);
// hsclient(calltype, psoc, ctx, connid): client side steps 50 to 54 on conn 2.
uint32_t hsclient(uint32_t calltype, socent* psoc, runctx* ctx, uint32_t connid);
// recsend(psoc, ctx, connid): turn wbuf's wlen bytes into one record in place.
uint32_t recsend(socent* psoc, runctx* ctx, uint32_t connid);
// recrecv(psoc, ctx, connid): check and open the record arriving in rbuf:
// 1 after its header (rneed = totlen), 0 with the payload at the start of rbuf.
uint32_t recrecv(socent* psoc, runctx* ctx, uint32_t connid);
