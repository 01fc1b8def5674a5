// Safe echo of bytes that came from the network into a log line.
#pragma once
#include <cstdint>

// printable(in, len, out): copy len bytes to out as text, each byte outside
// printable ASCII (0x20 to 0x7E) replaced by '.', then a terminating zero;
// out must hold len + 1 chars.
void printable(const uint8_t* in, uint32_t len, char* out);
