// Handling one Socket Table entry after select(): the accept,
// connect-completion, established, read, write and final steps.
#pragma once
#include <cstdint>

#include "common/runctx.h"
#include "core/loop.h"

// handleentry(i, lc, ctx, pc): run the accept, connect-completion,
// established, read, write and final steps for Socket Table slot i.
void handleentry(uint32_t i, loopctx* lc, runctx* ctx, passctx* pc);
