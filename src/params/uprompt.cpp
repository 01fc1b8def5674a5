// Placeholder until the console prompts land.
#include "params/uprompt.h"

uint32_t uprompt(uint32_t mode, runctx* ctx, userent* work, uint32_t connid) {
  (void)mode, (void)ctx, (void)work, (void)connid;
  return 0;
}
