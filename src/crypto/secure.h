// Wiping secrets and comparing check sums.
#pragma once
#include <cstddef>

// secure_zero(p, n): overwrite n bytes with zeros; the compiler cannot remove it.
void secure_zero(void* p, size_t n);

// ctequal(a, b, n): true when the n bytes are equal; the time taken depends
// only on n, never on where the bytes differ.
bool ctequal(const void* a, const void* b, size_t n);
