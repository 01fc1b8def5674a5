// The socket set of select(): the same plain record on every system; each
// system's net_select() turns it into what its own wait call takes.
#include <cstring>

#include "platform/net.h"

void sockset_zero(sockset* s) {
  s->count = 0;
}

void sockset_add(sockset* s, sockh h) {
  if (sockset_has(s, h) || s->count >= FDSETMAX) return;
  s->handles[s->count++] = h;
}

void sockset_remove(sockset* s, sockh h) {
  for (uint32_t i = 0; i < s->count; i++) {
    if (s->handles[i] != h) continue;
    // Keep the order of the others; select() reports in set order.
    memmove(&s->handles[i], &s->handles[i + 1], (s->count - i - 1) * sizeof(sockh));
    s->count--;
    return;
  }
}

bool sockset_has(const sockset* s, sockh h) {
  for (uint32_t i = 0; i < s->count; i++)
    if (s->handles[i] == h) return true;
  return false;
}
