#include "platform/compiler.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

bool cpu_has_shani() {
#if defined(__x86_64__) || defined(__i386__)
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
  const bool ssse3 = (c >> 9) & 1;
  const bool sse41 = (c >> 19) & 1;
  if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
  const bool sha = (b >> 29) & 1;
  return ssse3 && sse41 && sha;
#else
  return false;
#endif
}
