#include "platform/keydecode.h"

namespace {

constexpr int SKIP = -3;          // plainkey: the byte is no key of its own
constexpr int ESCWAIT_MS = 80;    // a terminal sends a key's escape sequence at once
constexpr int MAXSEQLEN = 32;     // parameter bytes of one sequence we are willing to eat
constexpr int ESC = 27;
constexpr int DEL = 127;

// plainkey(d, b): the key of a byte outside an escape sequence, or SKIP.
int plainkey(keydecoder* d, int b) {
  bool cr = d->aftercr;
  d->aftercr = b == '\r';
  if (b == '\n' && cr) return SKIP;
  if (b == '\r' || b == '\n') return CON_ENTER;
  if (b == DEL) return CON_BACKSPACE;
  // A NUL byte is no key, and it must not pass as the first code of a
  // cursor key either: that would swallow the character after it.
  if (b == 0) return SKIP;
  return b;
}

// seqfinal(readbyte, intro, next): read the rest of a sequence begun with ESC
// intro. Its final byte, or intro when it was cut short; -1 when another key
// broke into it, with that key's byte in *next.
int seqfinal(keyreader readbyte, int intro, int* next) {
  for (int n = 0; n < MAXSEQLEN; n++) {
    int c = readbyte(ESCWAIT_MS);
    if (c == KEY_TIMEOUT || c == CON_EOF) return intro;
    if (c >= 0x40 && c <= 0x7E) return c;
    // ESC O takes exactly one final byte; ESC [ takes parameters first.
    if (intro == '[' && c >= 0x20 && c <= 0x3F) continue;
    *next = c;
    return -1;
  }
  return intro;
}

}  // namespace

void keydecoder_reset(keydecoder* d) {
  d->aftercr = false;
  d->pending = -1;
}

int keydecoder_next(keydecoder* d, keyreader readbyte) {
  if (d->pending >= 0) {
    int k = d->pending;
    d->pending = -1;
    return k;
  }
  int b = readbyte(-1);
  for (;;) {
    if (b == CON_EOF) return CON_EOF;
    if (b != ESC) {
      int k = plainkey(d, b);
      if (k != SKIP) return k;
      b = readbyte(-1);
      continue;
    }
    // Escape: a key of its own when nothing follows soon, else the start of
    // a cursor or function key's sequence (or Alt with a key).
    d->aftercr = false;
    int c = readbyte(ESCWAIT_MS);
    if (c == KEY_TIMEOUT || c == CON_EOF) return ESC;
    if (c == ESC || c < 0x20 || c == DEL) {
      // Drop the escape; the key after it counts as typed.
      b = c;
      continue;
    }
    if (c == '[' || c == 'O') {
      int next = -1;
      int fin = seqfinal(readbyte, c, &next);
      if (fin < 0) {
        b = next;
        continue;
      }
      c = fin;
    }
    d->pending = c;
    return CON_KEYPREFIX;
  }
}
