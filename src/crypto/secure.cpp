#include "crypto/secure.h"

#include <cstdint>

void secure_zero(void* p, size_t n) {
  // Stores through a volatile pointer are observable behaviour, so the
  // optimiser must keep every one, also right before the memory is freed.
  volatile uint8_t* v = static_cast<volatile uint8_t*>(p);
  while (n--) *v++ = 0;
}

bool ctequal(const void* a, const void* b, size_t n) {
  const volatile uint8_t* x = static_cast<const volatile uint8_t*>(a);
  const volatile uint8_t* y = static_cast<const volatile uint8_t*>(b);
  uint8_t diff = 0;
  for (size_t i = 0; i < n; i++) diff |= x[i] ^ y[i];
  return diff == 0;
}
