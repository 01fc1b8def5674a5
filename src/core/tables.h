// The Socket Table and the Server Table, and the operations that create and
// destroy a relayed connection as a whole.
#pragma once
#include <cstddef>
#include <cstdint>

#include "core/runctx.h"
#include "params/paramrec.h"

constexpr uint32_t SOCTBL_MAX = 90;
constexpr uint32_t SRVTBL_MAX = 40;

// oper bits: what the event loop waits for on a socket.
constexpr uint32_t OP_RD = 1;
constexpr uint32_t OP_WR = 2;
constexpr uint32_t OP_ACCEPT = 4;
constexpr uint32_t OP_CONNECT = 8;   // connect pending; always alone

// closerc values
constexpr uint32_t CLOSE_EOF = 1;
constexpr uint32_t CLOSE_SOCKERR = 2;
constexpr uint32_t CLOSE_TUNNEL = 3;

// One open socket. Zero-filled when created.
struct socent {
  uint32_t soc;          // socket handle
  uint32_t stype;        // 1 listening socket socn3, 0 a relayed connection's socket
  uint32_t enti;         // Server Table index of the connection
  uint32_t conn;         // 1 client side (socn1), 2 server side (socn2), 0 listening
  uint32_t closerc;      // 0 usable, 1 EOF, 2 socket error, 3 tunnel failure
  uint32_t lasttime;     // tick count of the last activity
  uint8_t nonce1[32];
  uint8_t nonce2[32];
  uint8_t pnonce1[32];
  uint8_t pnonce2[32];
  userent authent;       // user of the handshake; wiped when it ends
  uint8_t hmackey[20];
  uint8_t* encrctx;      // cipher work area for what this socket sends (owned)
  uint8_t* decrctx;      // cipher work area for what it receives (owned)
  uint32_t oper;         // OP_* bits
  uint32_t action;       // 1 relay data, 31..34 / 50..54 handshake steps, 0 nothing
  uint8_t* rbuf;         // buffer RD reads into (one of the connection's two)
  uint32_t sbufrdsize;
  uint32_t rneed;        // bytes that complete the RD; 0 = any one recv
  uint32_t rdone;
  uint8_t* wbuf;         // buffer WR sends from
  uint32_t sbufwrsize;
  uint32_t wlen;
  uint32_t wdone;
};

// One relayed connection. Zero-filled when created.
struct srvent {
  uint32_t socn1;        // accepted client socket
  uint32_t socn2;        // socket to the server site
  uint32_t soci1;        // Socket Table index of socn1's entry
  uint32_t soci2;        // Socket Table index of socn2's entry
  uint32_t peeraddr;     // client IPv4 address, network byte order
  uint32_t connected;    // 1 once the server site is connected
  uint8_t* buf1;         // client -> server data (owned, bufsize bytes)
  uint8_t* buf2;         // server -> client data (owned, bufsize bytes)
  uint32_t bufsize;
};

// ptbladd(tbl, count, index, max, size): allocate a zeroed entry of size bytes
// in the first free slot of tbl; 0 ok, 1 full, 2 no memory, 3 count > max, 4 size 0.
uint32_t ptbladd(void** tbl, uint32_t* count, uint32_t* index, uint32_t max, size_t size);

// ptbldel(tbl, count, index): free the entry at index and lower count past
// the null slots at the top. Always 0.
uint32_t ptbldel(void** tbl, uint32_t* count, uint32_t index);

// addsrvent(socnew, ctx, servtbl, numsrvent, index, soctbl, numsoctbl): set up
// a connection for the accepted socket socnew; 0 done, 1 refused or rejected.
uint32_t addsrvent(uint32_t socnew, runctx* ctx, srvent** servtbl, uint32_t* numsrvent,
                   uint32_t* index, socent** soctbl, uint32_t* numsoctbl);

// freesrvent(index, ctx, servtbl, numsrvent, soctbl, numsoctbl): close and free
// the whole connection at Server Table index, wiping buffers and work areas.
void freesrvent(uint32_t index, runctx* ctx, srvent** servtbl, uint32_t* numsrvent,
                socent** soctbl, uint32_t* numsoctbl);
