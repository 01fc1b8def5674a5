#include "params/uprompt.h"

#include <cstring>

#include "common/printable.h"
#include "params/prompts.h"
#include "platform/console.h"

namespace {

// asks(ent, phase): true when the entry has a name or secret to be asked in phase.
bool asks(const userent* ent, uint32_t phase) { return ent->utype == phase || ent->pwtype == phase; }

// startprompts(p, ctx): ask for every value marked to be asked once, clientside
// user first, then the serverside users in table order. 0, or UPROMPT_NOINPUT.
uint32_t startprompts(paramrec* p, runctx* ctx) {
  uint32_t n = p->numusers < MAXUSERS ? p->numusers : MAXUSERS;
  bool any = p->clientside && asks(&p->cluser, 1);
  for (uint32_t i = 0; p->serverside && i < n; i++) any = any || asks(&p->usertbl[i], 1);
  if (!any) return 0;

  // One stretch of key mode for all prompts, so keys typed ahead between two
  // of them are never echoed by the terminal.
  uint32_t rc = 0;
  con_begin();
  if (p->clientside && promptent(&p->cluser, 1, SIDE_CLIENT, ctx) != 0) rc = UPROMPT_NOINPUT;
  for (uint32_t i = 0; rc == 0 && p->serverside && i < n; i++)
    if (promptent(&p->usertbl[i], 1, SIDE_SERVER, ctx) != 0) rc = UPROMPT_NOINPUT;
  con_end();
  return rc;
}

}  // namespace

uint32_t uprompt(uint32_t mode, runctx* ctx, userent* work, uint32_t connid) {
  paramrec* p = ctx->paramrec;
  uint32_t rc = 0;

  if (mode == 1) {
    rc = startprompts(p, ctx);
  } else if (mode == 2) {
    if (!p->clientside) {
      conprintf("%lu: ** Error: invalid call to uprompt(), wrong side\n", (unsigned long)connid);
      return UPROMPT_WRONGCLIENT;
    }
    *work = p->cluser;
    if (promptent(work, 2, SIDE_CLIENT, ctx) != 0) rc = UPROMPT_NOINPUT;
  } else if (mode == 3) {
    if (!p->serverside) {
      conprintf("%lu: ** Error: invalid call to uprompt(), wrong side\n", (unsigned long)connid);
      return UPROMPT_WRONGSERVER;
    }
    // Names compare as all their 80 bytes; the first entry of a name wins.
    uint32_t n = p->numusers < MAXUSERS ? p->numusers : MAXUSERS;
    uint32_t i = 0;
    while (i < n && memcmp(p->usertbl[i].uname, work->uname, UNAMELEN) != 0) i++;
    if (i == n) {
      // The received name less its trailing blanks; a name from the network
      // must not send control sequences to the operator's terminal.
      uint32_t len = UNAMELEN;
      while (len > 0 && work->uname[len - 1] == ' ') len--;
      char shown[UNAMELEN + 1];
      printable(work->uname, len, shown);
      conprintf("%lu: ** Error: Authentication failed, unknown username: %s\n", (unsigned long)connid,
                shown);
      return UPROMPT_UNKNOWN;
    }
    *work = p->usertbl[i];
    if (promptent(work, 2, SIDE_SERVER, ctx) != 0) rc = UPROMPT_NOINPUT;
  }

  if (rc == UPROMPT_NOINPUT) {
    if (mode == 1)
      conprintf("** Error: console input ended; no username or secret can be read.\n");
    else
      conprintf("%lu: ** Error: console input ended; no username or secret can be read.\n",
                (unsigned long)connid);
  }
  return rc;
}
