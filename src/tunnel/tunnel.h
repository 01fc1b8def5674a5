// tunnel(): the secure tunnel's handshake and data records on one socket entry.
#pragma once
#include <cstdint>

#include "common/conn.h"
#include "common/runctx.h"

// Call types: 1 a read completed (relaying), 2 data is about to be written,
// 31..34 serverside handshake steps, 50..54 clientside handshake steps.
constexpr uint32_t TC_RECV = 1;
constexpr uint32_t TC_SEND = 2;

constexpr uint32_t RECOVERHEAD = 80;   // record header 48 + record check sum 32
constexpr uint32_t RECHEADER = 48;
constexpr uint32_t HSMSGLEN = 128;     // every handshake message

// Results of tunnel(): a step done, a record header accepted with the rest of
// the record still to read (call type TC_RECV only), or from TR_FAILED on a
// failure, one per cause, its messages printed.
constexpr uint32_t TR_DONE = 0;
constexpr uint32_t TR_MORE = 1;        // rneed now asks for the whole record
constexpr uint32_t TR_FAILED = 2;      // this and every larger result is a failure
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

// tunnel(calltype, psoc, ctx): TR_DONE, TR_MORE (call type TC_RECV: header
// read and more bytes wanted), or a failure from TR_FAILED on with its
// messages printed.
uint32_t tunnel(uint32_t calltype, socent* psoc, runctx* ctx);
