// The start-up check of the record options against the buffer size.
#pragma once
#include <cstdint>

#include "common/runctx.h"

// reccheck(ctx): step R0 of docs/protocol.md. Set recbufsize, round
// msglenmult up to a multiple of 16; 0 good, 1 a message was printed and the
// relay must end (exit code 18).
uint32_t reccheck(runctx* ctx);
