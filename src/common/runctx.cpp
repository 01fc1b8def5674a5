#include "common/runctx.h"

#include <cstdio>

#include "platform/clock.h"

void addtimeval(uint32_t type, runctx* ctx) {
  uint32_t m, *num, *last, *slot;
  if (type == 1) {
    m = RING1SLOTS, num = &ctx->num1, last = &ctx->last1, slot = ctx->ticks1;
  } else if (type == 2) {
    m = RING2SLOTS, num = &ctx->num2, last = &ctx->last2, slot = ctx->ticks2;
  } else {
    return;
  }
  if (ctx->dbglevel >= 3)
    printf("addtimeval(): type=%lu m=%lu num=%lu last=%lu\n", (unsigned long)type,
           (unsigned long)m, (unsigned long)*num, (unsigned long)*last);
  uint32_t v = tickcount();
  if (*num < m) {
    slot[*num] = v;
    *last = *num;
    *num += 1;
  } else {
    *last = *last < m - 1 ? *last + 1 : 0;
    slot[*last] = v;
  }
  if (ctx->dbglevel >= 3)
    printf("   value %lu stored at index last=%lu, new num=%lu\n", (unsigned long)v,
           (unsigned long)*last, (unsigned long)*num);
}
