// What differs between compilers and processors, in one place: attributes,
// the optimisation barrier of the wipe, and the processor's optional
// instructions. Code outside this header names none of these directly.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
#define KV_NOINLINE __attribute__((noinline))
#define KV_ALWAYS_INLINE inline __attribute__((always_inline))
#define KV_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#define KV_LAMBDA_ALWAYS_INLINE __attribute__((always_inline))
#else
#define KV_NOINLINE
#define KV_ALWAYS_INLINE inline
#define KV_PRINTF(fmt, args)
#define KV_LAMBDA_ALWAYS_INLINE
#endif

// compiler_barrier(p): make the optimiser assume the memory behind p is read
// here, so stores into it (a wipe right before free) cannot be dropped.
inline void compiler_barrier(const void* p) {
#if defined(__GNUC__) || defined(__clang__)
  __asm__ __volatile__("" : : "r"(p) : "memory");
#else
  const volatile char* q = static_cast<const volatile char*>(p);
  (void)*q;
#endif
}

// cpu_has_shani(): true when the processor has the x86 SHA instructions and
// the SSSE3 and SSE4.1 sets they are used with.
bool cpu_has_shani();
