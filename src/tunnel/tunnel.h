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

// tunnel(calltype, psoc, ctx): 0 done, 1 (call type 1) header read and more
// bytes wanted, 2 and above failure with its messages printed.
uint32_t tunnel(uint32_t calltype, socent* psoc, runctx* ctx);
