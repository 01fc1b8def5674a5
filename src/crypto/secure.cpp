#include "crypto/secure.h"

#include <cstdint>
#include <cstring>

#include "platform/compiler.h"

void secure_zero(void* p, size_t n) {
  memset(p, 0, n);
  // The barrier claims to read the memory behind p, so the optimiser must
  // assume the zeros are used and cannot drop the memset, also right before
  // the memory is freed. Plain memset, at full speed.
  compiler_barrier(p);
}

bool ctequal(const void* a, const void* b, size_t n) {
  const volatile uint8_t* x = static_cast<const volatile uint8_t*>(a);
  const volatile uint8_t* y = static_cast<const volatile uint8_t*>(b);
  uint8_t diff = 0;
  for (size_t i = 0; i < n; i++) diff |= x[i] ^ y[i];
  return diff == 0;
}
