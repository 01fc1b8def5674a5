// The records of a relayed connection, shared by the event loop (core/) and
// the tunnel (tunnel/): one Server Table entry (srvent) and two Socket Table
// entries (socent) per connection.
//
// Invariants of the tables:
//  1. A count (numsoctbl, numsrvent) is one more than the index of the highest
//     used slot, 0 for an empty table. Slots below it may be null; every loop
//     over a table runs from 0 to the count and skips null slots.
//  2. Slot 0 of the Socket Table holds the listening socket socn3 (stype 1)
//     from start-up until accept-one mode closes it; it owns no buffers.
//  3. Every connection has one Server Table entry and two socket entries; both
//     socket entries carry the Server Table index in enti, one has conn 1
//     (socn1, at soci1) and the other conn 2 (socn2, at soci2).
//  4. The Server Table entry owns buf1 (client to server) and buf2 (server to
//     client), bufsize bytes each. A socket entry only borrows them through
//     rbuf and wbuf. While relaying, each buffer is lent to one side at a
//     time: the reading side's rbuf until its read completes, then the
//     partner's wbuf until that write completes, then back to the reader.
//     It is never read into and written from at once. During a handshake the
//     tunnel end reads and writes its messages in one buffer (buf1 on a
//     serverside's conn 1, buf2 on a clientside's conn 2) and the other
//     socket of the connection stays idle.
//  5. A socket entry owns its cipher work areas encrctx and decrctx, each
//     ctxsize bytes of the parameter record, from encrsetup to freesrvent.
//  6. A connection lives from a successful addsrvent to its freesrvent; a
//     failed addsrvent leaves both tables and the heap as they were, with the
//     accepted socket closed.
//  7. freesrvent wipes buffers, work areas and entries before freeing them.
//
// States of a socket entry:
//  8. oper says what the loop waits for: OP_RD, OP_WR, both (never while a
//     handshake runs), OP_ACCEPT (the listening socket only), OP_CONNECT
//     (alone, until the connect completes), or 0 (idle, or finished).
//  9. action says what the loop does when the RD or WR completes (ACT_*): relay
//     the data, take the next handshake step through tunnel(), or nothing.
// 10. closerc is 0 while the socket is usable; once set (1 end of file, 2
//     socket error, 3 tunnel failure, also an end of file that cuts a tunnel
//     short) it never goes back and the entry's operations stop. The close
//     pass frees the connection once one side has closed and the other is
//     closed too or has no write still to finish, so data read before an end
//     of file is still delivered; after a 2 or 3 both sockets end in a reset.
// 11. tunnel() may change, on the entry it is called for and nothing else:
//     oper, action, rneed, rdone, rbuf, sbufrdsize, wbuf, sbufwrsize, wlen,
//     wdone, and the handshake fields (nonces, authent, hmackey, the contents
//     of the work areas). The loop changes the partner entry itself and
//     relies on what tunnel() set for the handshake.
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

constexpr uint32_t NONCELEN = 32;   // bytes of every nonce of the handshake

// One open socket. Zero-filled when created.
struct socent {
  sockh soc;             // socket handle
  uint32_t stype;        // 1 listening socket socn3, 0 a relayed connection's socket
  uint32_t enti;         // Server Table index of the connection
  uint32_t conn;         // 1 client side (socn1), 2 server side (socn2), 0 listening
  uint32_t closerc;      // 0 usable, 1 EOF, 2 socket error, 3 tunnel failure
  uint32_t lasttime;     // tick count of the last activity
  uint8_t nonce1[NONCELEN];
  uint8_t nonce2[NONCELEN];
  uint8_t pnonce1[NONCELEN];
  uint8_t pnonce2[NONCELEN];
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
  bool rmore;            // the last completed read filled its room: more may wait
  uint8_t* wbuf;         // buffer WR sends from
  uint32_t sbufwrsize;
  uint32_t wlen;
  uint32_t wdone;
  uint32_t wpend;        // a middle instance's payload bytes still to be sent as
                         // further records; they wait at the end of wbuf
  bool wmore;            // the bytes to send came from a read that filled the
                         // buffer or a full record: more will most often follow
  bool held;             // a send with more to follow may have left bytes held
                         // back by the system; they are pushed before any wait
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

// idofconn(enti): the connection id of the log lines of Server Table entry
// enti: its index + 1, so that 0 is left for the listening socket.
inline uint32_t idofconn(uint32_t enti) { return enti + 1; }

// connid(p): the connection id of p's log lines, 0 for the listening socket.
inline uint32_t connid(const socent* p) {
  return p->stype == 0 ? idofconn(p->enti) : 0;
}

// The roles of a socket entry, from its conn and the tunnel side flags of the
// parameter record; a middle instance (both flags) has two tunnel ends.
// isserversideend(p, prm): p is the tunnel end of a serverside, its client
// socket, which runs the serverside handshake.
inline bool isserversideend(const socent* p, const paramrec* prm) {
  return p->conn == 1 && prm->serverside;
}
// isclientsideend(p, prm): p is the tunnel end of a clientside, its server
// socket, which runs the clientside handshake.
inline bool isclientsideend(const socent* p, const paramrec* prm) {
  return p->conn == 2 && prm->clientside;
}
// istunnelend(p, prm): p carries the encrypted side of a tunnel.
inline bool istunnelend(const socent* p, const paramrec* prm) {
  return isserversideend(p, prm) || isclientsideend(p, prm);
}
// feedstunnel(p, prm): p is a plain side whose partner is a tunnel end.
inline bool feedstunnel(const socent* p, const paramrec* prm) {
  return (p->conn == 1 && prm->clientside && !prm->serverside) ||
         (p->conn == 2 && prm->serverside && !prm->clientside);
}
