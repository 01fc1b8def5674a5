// The records of a relayed connection, shared by the event loop and the
// tunnel: one Server Table entry and two Socket Table entries per connection.
// Their invariants, and who may change which field, stand at the top of
// core/tables.cpp.
#pragma once
#include <cstdint>

#include "common/paramrec.h"
#include "platform/net.h"

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

// action values: what the loop does when the RD or WR of a socket entry
// completes. The handshake values are also tunnel()'s call types for those
// steps; the steps of each side are numbered in docs/protocol.md.
constexpr uint32_t ACT_NONE = 0;
constexpr uint32_t ACT_RELAY = 1;          // relay data to the partner
constexpr uint32_t ACT_S_MSG1READ = 31;    // serverside, conn 1: Msg1 read
constexpr uint32_t ACT_S_MSG2SENT = 32;    //   Msg2 written
constexpr uint32_t ACT_S_MSG3READ = 33;    //   Msg3 read
constexpr uint32_t ACT_S_MSG4SENT = 34;    //   Msg4 written: the serverside handshake is done
constexpr uint32_t ACT_C_START = 50;       // clientside, conn 2: build and send Msg1
constexpr uint32_t ACT_C_MSG1SENT = 51;    //   Msg1 written
constexpr uint32_t ACT_C_MSG2READ = 52;    //   Msg2 read
constexpr uint32_t ACT_C_MSG3SENT = 53;    //   Msg3 written
constexpr uint32_t ACT_C_MSG4READ = 54;    //   Msg4 read: the clientside handshake is done

// ishsread(action), ishswrite(action): a handshake step that follows a
// completed read, or a completed write, of one handshake message.
constexpr bool ishsread(uint32_t action) {
  return action == ACT_S_MSG1READ || action == ACT_S_MSG3READ || action == ACT_C_MSG2READ ||
         action == ACT_C_MSG4READ;
}
constexpr bool ishswrite(uint32_t action) {
  return action == ACT_S_MSG2SENT || action == ACT_S_MSG4SENT || action == ACT_C_MSG1SENT ||
         action == ACT_C_MSG3SENT;
}
// isserverstep(calltype), isclientstep(calltype): a step of the serverside
// handshake (on conn 1) or of the clientside one (on conn 2).
constexpr bool isserverstep(uint32_t calltype) {
  return calltype >= ACT_S_MSG1READ && calltype <= ACT_S_MSG4SENT;
}
constexpr bool isclientstep(uint32_t calltype) {
  return calltype >= ACT_C_START && calltype <= ACT_C_MSG4READ;
}

// A table index that names no entry (ptbladd's answer when it fails).
constexpr uint32_t IDX_NONE = 0x0FFFFFFF;

// One open socket. Zero-filled when created.
struct socent {
  sockh soc;             // socket handle
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
  uint32_t action;       // ACT_*: what the loop does when the RD or WR completes
  uint8_t* rbuf;         // buffer RD reads into (one of the connection's two)
  uint32_t sbufrdsize;
  uint32_t rneed;        // bytes that complete the RD; 0 = any one recv
  uint32_t rdone;
  uint8_t* wbuf;         // buffer WR sends from
  uint32_t sbufwrsize;
  uint32_t wlen;
  uint32_t wdone;
  uint32_t wpend;        // a middle instance's payload bytes still to be sent as
                         // further records; they wait at the end of wbuf
};

// One relayed connection. Zero-filled when created.
struct srvent {
  sockh socn1;           // accepted client socket
  sockh socn2;           // socket to the server site
  uint32_t soci1;        // Socket Table index of socn1's entry
  uint32_t soci2;        // Socket Table index of socn2's entry
  uint32_t peeraddr;     // client IPv4 address, network byte order
  uint32_t connected;    // 1 once the server site is connected
  uint8_t* buf1;         // client -> server data (owned, bufsize bytes)
  uint8_t* buf2;         // server -> client data (owned, bufsize bytes)
  uint32_t bufsize;
};

// istunnelend(p, prm): p carries the encrypted side of a tunnel: the client
// socket of a serverside, the server socket of a clientside.
inline bool istunnelend(const socent* p, const paramrec* prm) {
  return (p->conn == 1 && prm->serverside) || (p->conn == 2 && prm->clientside);
}
