// Keys from a stream of bytes, as con_getkey() hands them out: the part of
// the console that is the same on every system, for input that arrives as
// bytes (a terminal, a pipe, a file). Only the console implementations use it.
#pragma once

#include "platform/console.h"

constexpr int KEY_TIMEOUT = -2;   // keyreader: nothing arrived within the wait

// keyreader(wait_ms): the next byte, 0 to 255; CON_EOF once the input has
// ended; with wait_ms >= 0, KEY_TIMEOUT when no byte came within wait_ms.
// wait_ms < 0 waits as long as it takes.
using keyreader = int (*)(int wait_ms);

// The decoder's memory between two keys.
struct keydecoder {
  bool aftercr;   // the last byte was CR, so an LF right after it is the same Enter
  int pending;    // second code of a cursor or function key, handed out next; -1: none
};

// keydecoder_reset(d): forget everything, as for a new input.
void keydecoder_reset(keydecoder* d);

// keydecoder_next(d, readbyte): the next key with the contract of con_getkey():
// CR, LF or CR LF give CON_ENTER, DEL gives CON_BACKSPACE, the escape sequence
// of a cursor or function key gives CON_KEYPREFIX and then its final byte,
// an escape alone (nothing follows within a moment) gives 27, and a NUL byte
// gives nothing.
int keydecoder_next(keydecoder* d, keyreader readbyte);
