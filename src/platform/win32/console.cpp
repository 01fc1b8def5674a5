#include "platform/console.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>

#include "platform/keydecode.h"

namespace {

constexpr int PEEKPAUSE_MS = 5;   // between two looks into a pipe for a byte

HANDLE usein = INVALID_HANDLE_VALUE;   // con_use() handles; invalid: the standard ones
HANDLE useout = INVALID_HANDLE_VALUE;
bool ended = false;        // the input has ended; it never comes back
keydecoder bytekeys = {false, -1};   // keys of input that is not a console
int depth = 0;             // nesting of con_begin()

// Console input records: the key being handed out, how many more times (a
// held key comes as one record with a repeat count), and a key's second code.
KEY_EVENT_RECORD cur;
int repeats = 0;
int pending = -1;

// Only set while a console is in key mode; the control handler reads them.
HANDLE volatile modeh = INVALID_HANDLE_VALUE;
DWORD savedmode;

HANDLE inh() { return usein != INVALID_HANDLE_VALUE ? usein : GetStdHandle(STD_INPUT_HANDLE); }
HANDLE outh() { return useout != INVALID_HANDLE_VALUE ? useout : GetStdHandle(STD_OUTPUT_HANDLE); }

bool isconsole(HANDLE h) {
  DWORD mode;
  return h != nullptr && h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode);
}

// Ctrl-C, Ctrl-Break or the console closing while a prompt reads keys: put
// the console back as it was, then let the event take its usual course (the
// system's handler ends the process).
BOOL WINAPI onctrl(DWORD) {
  HANDLE h = modeh;
  if (h != INVALID_HANDLE_VALUE) SetConsoleMode(h, savedmode);
  return FALSE;
}

// readbyte(wait_ms): the next byte of input that is not a console, CON_EOF
// once it has ended, or KEY_TIMEOUT when wait_ms (>= 0) passed without one.
int readbyte(int wait_ms) {
  if (ended) return CON_EOF;
  HANDLE h = inh();
  // Only a pipe can keep a byte waiting; a file or a device answers at once.
  if (wait_ms >= 0 && GetFileType(h) == FILE_TYPE_PIPE) {
    DWORD start = GetTickCount();
    for (;;) {
      DWORD avail = 0;
      // A failed look (the writer has gone) is for ReadFile to report.
      if (!PeekNamedPipe(h, nullptr, 0, nullptr, &avail, nullptr) || avail > 0) break;
      if (GetTickCount() - start >= DWORD(wait_ms)) return KEY_TIMEOUT;
      Sleep(PEEKPAUSE_MS);
    }
  }
  unsigned char b;
  DWORD n = 0;
  if (ReadFile(h, &b, 1, &n, nullptr) && n == 1) return b;
  // The end of a file or a pipe, a closed or missing handle: no more keys.
  ended = true;
  return CON_EOF;
}

// A key that only changes the next one (Shift, Ctrl, Alt, the lock keys,
// the Windows keys) gives no key of its own.
bool modifieronly(WORD vk) {
  switch (vk) {
    case VK_SHIFT: case VK_CONTROL: case VK_MENU: case VK_CAPITAL: case VK_NUMLOCK:
    case VK_SCROLL: case VK_LWIN: case VK_RWIN: case VK_APPS:
      return true;
    default:
      return false;
  }
}

// The key of the current record, as _getch() gives it: a character as its
// code (Enter is 13, Backspace 8), a cursor or function key as 224 (the keys
// of the separate cursor block) or 0 (F1 to F12, the number pad) followed
// by its scan code.
int recordkey() {
  unsigned char c = static_cast<unsigned char>(cur.uChar.AsciiChar);
  if (c != 0) return c;
  pending = cur.wVirtualScanCode & 0xFF;
  return (cur.dwControlKeyState & ENHANCED_KEY) ? CON_KEYPREFIX : 0;
}

// consolekey(h): the next key typed at the console h, or CON_EOF.
int consolekey(HANDLE h) {
  if (repeats > 0) {
    repeats--;
    return recordkey();
  }
  for (;;) {
    INPUT_RECORD rec;
    DWORD n = 0;
    if (!ReadConsoleInputA(h, &rec, 1, &n)) {
      ended = true;
      return CON_EOF;
    }
    if (n != 1 || rec.EventType != KEY_EVENT) continue;   // mouse, focus, size, menu
    const KEY_EVENT_RECORD& k = rec.Event.KeyEvent;
    if (!k.bKeyDown || k.wRepeatCount == 0) continue;
    if (k.uChar.AsciiChar == 0 && modifieronly(k.wVirtualKeyCode)) continue;
    cur = k;
    repeats = k.wRepeatCount - 1;
    return recordkey();
  }
}

}  // namespace

void con_use(fileh in, fileh out) {
  usein = in == FILE_INVALID ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(in);
  useout = out == FILE_INVALID ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(out);
  ended = false;
  keydecoder_reset(&bytekeys);
  repeats = 0;
  pending = -1;
}

void con_begin() {
  if (depth++ > 0) return;
  HANDLE h = inh();
  // A pipe or a file is read byte by byte as it is; only a console has modes.
  DWORD mode;
  if (h == nullptr || h == INVALID_HANDLE_VALUE || !GetConsoleMode(h, &mode)) return;
  savedmode = mode;
  // No echo, no line editing; Ctrl-C and Ctrl-Break still reach the process.
  DWORD keymode = (mode | ENABLE_PROCESSED_INPUT) &
                  ~DWORD(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT | ENABLE_MOUSE_INPUT | ENABLE_WINDOW_INPUT);
  modeh = h;
  SetConsoleCtrlHandler(onctrl, TRUE);
  SetConsoleMode(h, keymode);
}

void con_end() {
  if (depth == 0 || --depth > 0) return;
  HANDLE h = modeh;
  if (h == INVALID_HANDLE_VALUE) return;
  SetConsoleMode(h, savedmode);
  modeh = INVALID_HANDLE_VALUE;
  SetConsoleCtrlHandler(onctrl, FALSE);
}

int con_getkey() {
  if (pending >= 0) {
    int k = pending;
    pending = -1;
    return k;
  }
  // Whatever the log printed is on the screen before the relay waits for a key.
  fflush(stdout);
  HANDLE h = inh();
  if (isconsole(h)) return ended ? CON_EOF : consolekey(h);
  return keydecoder_next(&bytekeys, readbyte);
}

void con_write(const char* text, size_t len) {
  // Whatever the log has printed comes first on the screen.
  fflush(stdout);
  HANDLE h = outh();
  while (len > 0) {
    DWORD chunk = len > 0x10000 ? 0x10000 : DWORD(len);
    DWORD n = 0;
    if (!WriteFile(h, text, chunk, &n, nullptr) || n == 0) return;
    text += n;
    len -= n;
  }
}
