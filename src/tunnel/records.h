// Data records: the start-up check of the record options, and building and
// opening one record in the relay buffer. recsend and recrecv return
// tunnel()'s result and print their own failure message; tunnel() adds the
// common exit lines.
#pragma once
#include <cstdint>

#include "common/conn.h"
#include "common/runctx.h"

// reccheck(ctx): step R0 of docs/protocol.md. Set recbufsize, round
// msglenmult up to a multiple of 16; 0 good, 1 a message was printed and the
// relay must end (exit code 18).
uint32_t reccheck(runctx* ctx);

// recsend(psoc, ctx, connid): turn wbuf's wlen bytes into one record in place.
uint32_t recsend(socent* psoc, runctx* ctx, uint32_t connid);
// recrecv(psoc, ctx, connid): check and open the record arriving in rbuf:
// TR_MORE after its header (rneed = totlen), TR_DONE with the payload at the
// start of rbuf.
uint32_t recrecv(socent* psoc, runctx* ctx, uint32_t connid);

// What the event loop needs to know of records, so that it moves bytes
// without doing record arithmetic of its own.

// recfirstneed(psoc, prm): the rneed that starts a read on psoc: a tunnel
// end reads a record header first, a plain side takes what one recv() gives.
uint32_t recfirstneed(const socent* psoc, const paramrec* prm);
// recmaxpayload(ctx): the largest payload one record of this instance carries.
uint32_t recmaxpayload(const runctx* ctx);
// recreadroom(psoc, ctx): how many bytes one plain read on psoc may take: a
// side that feeds a tunnel leaves room in the buffer for the record built
// from them.
uint32_t recreadroom(const socent* psoc, const runctx* ctx);
// recfull(psoc, ctx): the record just opened on psoc carried as much payload
// as one of ours can: its sender's read filled the buffer, and more most
// often follows.
bool recfull(const socent* psoc, const runctx* ctx);
// recsplit(psoc, ctx): a middle instance re-encrypts each payload it has
// received under its own padding rules, and a peer that pads less may send
// more payload than one record of ours can carry. Such a payload goes on as
// several records (any peer takes them as they come): psoc sends the first
// recmaxpayload bytes now, and the rest (wpend bytes) waits at the end of
// wbuf.
void recsplit(socent* psoc, const runctx* ctx);
// recnextpart(psoc, ctx): after a part has gone, move the next waiting part
// of a split payload to the start of wbuf as the next wlen bytes to send.
void recnextpart(socent* psoc, const runctx* ctx);
