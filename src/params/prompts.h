// Console prompts for usernames and secrets, read key by key.
#pragma once
#include <cstdint>

#include "common/paramrec.h"
#include "common/runctx.h"
#include "platform/compiler.h"

constexpr uint32_t CONLINESIZE = 300;   // console input line, so at most 299 characters

// Echo modes of conreadline: a set of two bits.
constexpr uint32_t ECHO_NONE = 0;
constexpr uint32_t ECHO_STAR = 1;       // show "*" for each character (wins over ECHO_CHAR)
constexpr uint32_t ECHO_CHAR = 2;       // show each character

// Sides of promptent.
constexpr uint32_t SIDE_CLIENT = 1;
constexpr uint32_t SIDE_SERVER = 2;

constexpr int CONREAD_EOF = -1;         // conreadline: the console input has ended

// conreadline(buf, size, echomode): read one line from the console keyboard
// into buf, NUL-terminated, showing the typed characters as echomode says;
// the line ends at Enter or after size - 1 characters. The number of
// characters, or CONREAD_EOF when the input ended before any character of the
// line (a line cut short by the end of input is returned as it is).
int conreadline(char* buf, uint32_t size, uint32_t echomode);

// promptent(ent, phase, side, ctx): ask at the console for the name and the
// secret of ent whose utype / pwtype equals phase (1 start-up, 2 connection)
// and store the answers in ent; side (SIDE_CLIENT, SIDE_SERVER) names it in the
// prompt. 0, or 1 when the console input ended (ent keeps what was asked so far).
uint32_t promptent(userent* ent, uint32_t phase, uint32_t side, runctx* ctx);

// conprintf(fmt, ...): printf to the console, after what the log has printed.
KV_PRINTF(1, 2) void conprintf(const char* fmt, ...);
