// The event loop: one thread, one select() per pass over every socket with a
// pending operation. A pass is a list of phases: build the sets (with the
// inactivity check), wait, handle each entry, close finished connections.
#pragma once
#include <cstdint>

#include "common/runctx.h"
#include "core/tables.h"
#include "platform/net.h"

constexpr uint32_t SELECT_TIMEOUT_MS = 45000;
constexpr uint32_t INACTIVITY_MS = 1200000;   // 20 minutes
// After a failed accept() the listening socket rests this long before the
// next try, so a lasting failure (no descriptors left) neither spins the
// loop nor floods the log while the open connections go on.
constexpr uint32_t ACCEPT_REST_MS = 1000;

// What start-up hands to the loop, and the loop's own state across passes.
struct loopctx {
  uint32_t acceptone;       // -1: serve one connection, then end
  uint32_t web;             // -w: accept and close every client
  uint32_t tracelen;        // bytes shown of each traced read
  const char* connsite;     // server site as typed, "(none)" in web mode
  uint32_t siteaddr;        // its IPv4 address, network byte order
  uint32_t connport;
  sockh socn3;              // the listening socket
  uint32_t soci3;           // its Socket Table index
  uint32_t socn3closed;     // 1 once accept-one mode has closed it
  uint32_t* numsoctbl;
  uint32_t* numsrvent;
  uint32_t acceptrest;      // 1 while accept() rests after a failure
  uint32_t acceptfailtick;  // tick count of that failure
};

// The sets and time of one pass.
struct passctx {
  sockset rd, wr, ex;
  bool rdused, wrused, exused;
  uint32_t passtime;        // tick count, taken before building and after waiting
};

// eventloop(lc, ctx): run passes until progexit ends the program.
[[noreturn]] void eventloop(loopctx* lc, runctx* ctx);

// buildsets(lc, ctx, pc): empty pc's sets, time out the connections inactive
// at pc->passtime and add every waiting socket to its sets; ends the program
// (16) when there is nothing to wait for.
void buildsets(loopctx* lc, runctx* ctx, passctx* pc);

// waitsets(lc, ctx, pc): select() over the used sets; the number of ready
// sockets, 0 on time-out; ends the program (11) when select() fails.
int waitsets(loopctx* lc, runctx* ctx, passctx* pc);

// closepass(lc, ctx): free every connection whose sides have finished.
void closepass(loopctx* lc, runctx* ctx);
