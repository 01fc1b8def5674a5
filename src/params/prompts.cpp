#include "params/prompts.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/runctx.h"
#include "crypto/secure.h"
#include "platform/console.h"

namespace {

// echochar(buf, echomode): show one character just typed.
void echochar(const char* c, uint32_t echomode) {
  if (echomode & ECHO_STAR)
    con_write("*", 1);
  else if (echomode & ECHO_CHAR)
    con_write(c, 1);
}

}  // namespace

void conprintf(const char* fmt, ...) {
  char text[512];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  if (n < 0) return;
  if (size_t(n) < sizeof text) {
    con_write(text, size_t(n));
    return;
  }
  // Longer than any prompt; format again into a buffer of the right size.
  char* big = static_cast<char*>(malloc(size_t(n) + 1));
  if (big == nullptr) return;
  va_start(ap, fmt);
  vsnprintf(big, size_t(n) + 1, fmt, ap);
  va_end(ap);
  con_write(big, size_t(n));
  free(big);
}

int conreadline(char* buf, uint32_t size, uint32_t echomode) {
  if (size == 0) return 0;
  uint32_t n = 0;
  bool ended = false;
  con_begin();
  while (n < size - 1) {
    int k = con_getkey();
    if (k == CON_EOF) {
      ended = true;
      break;
    }
    if (k == CON_ENTER) break;
    if (k == CON_BACKSPACE) {
      // Take the character back, and off the screen unless nothing was shown.
      if (n > 0) {
        buf[--n] = 0;
        if (echomode != ECHO_NONE) con_write("\b \b", 3);
      }
      continue;
    }
    if (k == 0 || k == CON_KEYPREFIX) {
      // A cursor or function key: its code follows and means nothing here.
      if (con_getkey() == CON_EOF) {
        ended = true;
        break;
      }
      continue;
    }
    if (k < 32) continue;
    buf[n++] = char(k);
    echochar(&buf[n - 1], echomode);
  }
  buf[n] = 0;
  con_write("\n", 1);
  con_end();
  return ended && n == 0 ? CONREAD_EOF : int(n);
}

uint32_t promptent(userent* ent, uint32_t phase, uint32_t side, runctx* ctx) {
  if (ent->utype != phase && ent->pwtype != phase) return 0;
  char line[CONLINESIZE];
  int len;
  uint32_t rc = 1;
  con_begin();

  // Ask for the name, shown while it is typed.
  if (ent->utype == phase) {
    conprintf("\n");
    for (;;) {
      conprintf("Enter username for clientside authentication: ");
      len = conreadline(line, sizeof line, ECHO_CHAR);
      if (len == CONREAD_EOF) goto done;
      addtimeval(2, ctx);
      if (len >= 1 && uint32_t(len) <= UNAMELEN) break;
      conprintf("** Invalid length, must be 1 to %lu. Try again.\n", (unsigned long)UNAMELEN);
    }
    memset(ent->uname, ' ', UNAMELEN);
    memcpy(ent->uname, line, size_t(len));
    ent->ulen = uint8_t(len);
    ent->utype = UT_PRESENT;
  }

  // Ask for the secret, not shown at all.
  if (ent->pwtype == phase) {
    conprintf("\n");
    for (;;) {
      if (ent->utype != UT_PRESENT)
        conprintf("Enter secret for clientside authentication: ");
      else
        conprintf("Enter secret for username %.*s (%s): ", int(ent->ulen), (const char*)ent->uname,
                  side == SIDE_SERVER ? "serverside" : "clientside");
      len = conreadline(line, sizeof line, ECHO_NONE);
      if (len == CONREAD_EOF) goto done;
      addtimeval(2, ctx);
      if (uint32_t(len) <= SECRETLEN) break;
      conprintf("** Invalid length, must be 0 to %lu. Try again.\n", (unsigned long)SECRETLEN);
    }
    secure_zero(ent->secret, SECRETLEN);
    memcpy(ent->secret, line, size_t(len));
    ent->pwlen = uint8_t(len);
    ent->pwtype = UT_PRESENT;
  }
  rc = 0;

done:
  // The line may hold a secret.
  secure_zero(line, sizeof line);
  con_end();
  return rc;
}
