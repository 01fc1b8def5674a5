// User credentials: console prompts and the serverside lookup.
#pragma once
#include <cstdint>

#include "common/paramrec.h"
#include "common/runctx.h"

// Results of uprompt besides 0.
constexpr uint32_t UPROMPT_UNKNOWN = 1;      // mode 3: no serverside user of that name
constexpr uint32_t UPROMPT_WRONGCLIENT = 2;  // mode 2 on an instance that is not clientside
constexpr uint32_t UPROMPT_WRONGSERVER = 3;  // mode 3 on an instance that is not serverside
constexpr uint32_t UPROMPT_NOINPUT = 4;      // the console input ended; nothing could be asked

// uprompt(mode, ctx, work, connid): 1 ask at start-up for every "?" value;
// 2 fill work with the clientside user and ask its "??" values; 3 look up the
// serverside user named in work->uname and ask its "??" values. Other modes do
// nothing. 0 or one of the results above, its message printed with connid.
uint32_t uprompt(uint32_t mode, runctx* ctx, userent* work, uint32_t connid);
