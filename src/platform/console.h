// Console: key-by-key input without echo and text output, for the prompts
// that ask for usernames and secrets.
#pragma once
#include <cstddef>

#include "platform/file.h"

constexpr int CON_EOF = -1;        // con_getkey: the console input has ended for good
constexpr int CON_KEYPREFIX = 224; // con_getkey: a function or cursor key; its code follows
constexpr int CON_BACKSPACE = 8;   // con_getkey: the key that removes the last character
constexpr int CON_ENTER = 13;      // con_getkey: the key that ends a line

// con_use(in, out): take keys from the open file or pipe in and write text to
// out instead of standard input and standard output; FILE_INVALID means the
// standard one. Also forgets an earlier end of input. Meant for tests.
void con_use(fileh in, fileh out);

// con_begin(): enter key-by-key mode for one prompt. On a terminal: no echo,
// no line editing, interrupt keys still work; the terminal is put back if the
// process is interrupted, stopped or hung up meanwhile. Calls nest; only the
// outermost one changes anything.
void con_begin();
// con_end(): leave key-by-key mode; the outermost call restores the terminal
// and the signal handlers as they were before con_begin().
void con_end();

// con_getkey(): the next key, 0 to 255, or CON_EOF once the input has ended
// (closed, hung up, unreadable). Enter (CR, LF, or CR LF as one) gives
// CON_ENTER, the terminal's erase key (DEL) gives CON_BACKSPACE, and a cursor
// or function key arrives as CON_KEYPREFIX followed by one more code. When the
// input is not a terminal, its bytes are taken as keys.
int con_getkey();

// con_write(text, len): write text to the console at once, after anything
// already printed to standard output.
void con_write(const char* text, size_t len);
