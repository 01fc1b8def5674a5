#include "params/ipfilter.h"

#include <cstdio>
#include <cstring>

#include "params/scanner.h"

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

uint32_t filtparse(const char* token, uint32_t* addr, uint8_t* len) {
  // Invalid until the whole token has been read.
  *addr = 0;
  *len = 0;
  uint32_t value = 0;
  uint8_t n = 0;
  const char* p = token;
  for (;;) {
    // Nothing may follow the fourth octet and its ".".
    if (n == 4) return 1;

    // One octet: 1 to 3 digits, at most 255.
    uint32_t octet = 0, digits = 0;
    while (*p >= '0' && *p <= '9') {
      if (digits == 3) return 1;
      octet = octet * 10 + uint32_t(*p++ - '0');
      digits++;
    }
    if (digits == 0 || octet > 255) return 1;
    value |= octet << (8 * n);
    n++;

    // Then the end, or one "." and the next octet (or the end).
    if (*p == 0) break;
    if (*p != '.') return 1;
    p++;
    if (*p == 0) break;
  }
  *addr = value;
  *len = n;
  return 0;
}

uint32_t ipfiltitem(paramrec* prm, uint8_t type, const char* token, uint32_t code, uint32_t dbglevel) {
  uint32_t i = prm->numfilt;
  if (i >= MAXFILT) return 2;

  // ALL and ANY match every address; anything else is an address prefix.
  uint32_t addr = 0;
  uint8_t len = 0;
  if (code != KW_ALL && filtparse(token, &addr, &len) != 0) {
    printf("** Invalid IP addr specification %s in FILTER statement\n", token);
    return 1;
  }
  prm->filttype[i] = type;
  prm->filtlen[i] = len;
  prm->filtaddr[i] = addr;
  prm->numfilt = i + 1;
  if (dbglevel >= 3)
    printf("  IP addr filter item: index=%lu type=%lu len=%lu value=0x%08lX\n", (unsigned long)i,
           (unsigned long)type, (unsigned long)len, (unsigned long)addr);
  return 0;
}
