#include "common/printable.h"

void printable(const uint8_t* in, uint32_t len, char* out) {
  // A control byte would let a peer move the cursor or rewrite earlier lines
  // of the operator's terminal, so only plain ASCII goes through as it is.
  for (uint32_t i = 0; i < len; i++) out[i] = (in[i] >= 0x20 && in[i] <= 0x7E) ? (char)in[i] : '.';
  out[len] = '\0';
}
