#include "params/ipfilter.h"

#include <cstring>

bool ipfilter(uint32_t addr, const paramrec* prm) {
  // The address as it stands in memory, first octet in the lowest 8 bits,
  // the same order filtaddr is built in.
  uint8_t octets[4];
  memcpy(octets, &addr, 4);
  uint32_t peer = octets[0] | octets[1] << 8 | octets[2] << 16 | (uint32_t)octets[3] << 24;

  // The first matching item decides; no match allows.
  for (uint32_t i = 0; i < prm->numfilt && i < MAXFILT; i++) {
    uint32_t len = prm->filtlen[i];
    uint32_t mask = len >= 4 ? 0xFFFFFFFFu : (1u << (8 * len)) - 1;
    if ((peer & mask) == (prm->filtaddr[i] & mask)) return prm->filttype[i] == FILT_ALLOW;
  }
  return true;
}
