// User credentials: console prompts and the serverside lookup.
#pragma once
#include <cstdint>

#include "core/runctx.h"
#include "params/paramrec.h"

// uprompt(mode, ctx, work, connid): 1 ask at start-up for every "?" value;
// 2 fill work with the clientside user and ask its "??" values; 3 look up the
// serverside user named in work->uname and ask its "??" values.
uint32_t uprompt(uint32_t mode, runctx* ctx, userent* work, uint32_t connid);
