// The run context: the one record passed to nearly every operation.
#pragma once
#include <cstdint>

struct paramrec;
struct srvent;
struct socent;

constexpr uint32_t RING1SLOTS = 4;   // connection arrivals
constexpr uint32_t RING2SLOTS = 5;   // console input lines

struct runctx {
  uint32_t dbglevel;     // -d level; 0 = no debug output
  uint32_t trace;        // 1 when -t traces of socket data are on
  uint32_t wsastarted;   // 1 once the socket layer is started; progexit cleans it up
  uint32_t bufsize;      // bytes of each per-connection data buffer (-buf=)
  uint32_t recbufsize;   // largest encrypted record; bufsize when no tunnel
  ::paramrec* paramrec;  // owned by the main routine
  srvent** servtbl;      // Server Table, SRVTBL_MAX slots
  socent** soctbl;       // Socket Table, SOCTBL_MAX slots
  uint32_t starttick;    // tick count at program start
  uint32_t num1, last1, ticks1[RING1SLOTS];
  uint32_t num2, last2, ticks2[RING2SLOTS];
};

// addtimeval(type, ctx): note the tick count of a connection arrival (type 1)
// or of a console line (type 2) in the run context's rings; they feed the
// tunnel's nonces.
void addtimeval(uint32_t type, runctx* ctx);
