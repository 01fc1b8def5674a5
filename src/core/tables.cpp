// The Socket Table and the Server Table: creating and destroying a
// connection as a whole. The invariants of the tables stand in common/conn.h.
#include "core/tables.h"

#include <cstdio>
#include <cstdlib>
#include <initializer_list>

#include "common/log.h"
#include "crypto/secure.h"
#include "params/ipfilter.h"
#include "platform/clock.h"
#include "platform/net.h"

uint32_t ptbladd(void** tbl, uint32_t* count, uint32_t* index, uint32_t max, size_t size) {
  *index = IDX_NONE;
  if (*count > max) return PTBL_COUNT;
  if (size == 0) return PTBL_SIZE;

  // Take the first free slot below the count, else the one at the count.
  uint32_t slot = 0;
  while (slot < *count && tbl[slot] != nullptr) slot++;
  uint32_t newcount = *count;
  if (slot == *count) {
    if (*count >= max) return PTBL_FULL;
    newcount++;
  }
  void* entry = calloc(1, size);
  if (entry == nullptr) return PTBL_NOMEM;
  tbl[slot] = entry;
  *index = slot;
  *count = newcount;
  return PTBL_OK;
}

uint32_t ptbldel(void** tbl, uint32_t* count, uint32_t index) {
  if (index >= *count || tbl[index] == nullptr) return 0;
  free(tbl[index]);
  tbl[index] = nullptr;
  while (*count > 0 && tbl[*count - 1] == nullptr) (*count)--;
  return 0;
}

uint32_t addsrvent(uint32_t socnew, uint32_t peeraddr, runctx* ctx, srvent** servtbl,
                   uint32_t* numsrvent, uint32_t* index, socent** soctbl, uint32_t* numsoctbl) {
  // What a rejection must undo, in the order it was taken.
  sockh socn2 = NET_INVALID;
  uint8_t* buf1 = nullptr;
  uint8_t* buf2 = nullptr;
  uint32_t enti = IDX_NONE, soci1 = IDX_NONE, soci2 = IDX_NONE;
  void** stbl = reinterpret_cast<void**>(soctbl);
  uint32_t bufsize = ctx->bufsize;
  uint32_t before, rc;
  int err;

  // Who is calling: accept() has told already.
  if (!ipfilter(peeraddr, ctx->paramrec)) {
    printf("  Connection refused by IP address filter.\n");
    goto rejected;
  }

  // The socket toward the server site.
  socn2 = net_socket();
  if (socn2 == NET_INVALID) {
    err = net_lasterror();
    printf("** Unable to create socket socn2. Error %d from socket().\n", err);
    sockerrmsg(0, err);
    printf("   Connection rejected.\n");
    goto rejected;
  }
  if (net_setnonblocking(socn2) != 0) {
    err = net_lasterror();
    printf("** Error %d putting socn2 into nonblocking mode\n", err);
    sockerrmsg(0, err);
    printf("   Connection rejected.\n");
    goto rejected;
  }
  // A peer that vanishes without a close (a cable pulled, a host gone) would
  // otherwise hold its slot for good: an idle connection is never timed out.
  // Best effort: without the probes the connection works as before.
  net_setkeepalive(socnew);
  net_setkeepalive(socn2);
  // Each side passes on what it has at once, without waiting for the
  // peer's delayed acknowledgement of a short tail. Best effort too.
  net_setnodelay(socnew);
  net_setnodelay(socn2);

  // One buffer per direction; their contents are overwritten before use.
  buf1 = static_cast<uint8_t*>(malloc(bufsize));
  buf2 = buf1 ? static_cast<uint8_t*>(malloc(bufsize)) : nullptr;
  if (buf1 == nullptr || buf2 == nullptr) {
    printf("** Error: Not enough memory to allocate a buffer or work area.\n");
    printf("   Connection rejected.\n");
    goto rejected;
  }

  // The Server Table entry.
  before = *numsrvent;
  rc = ptbladd(reinterpret_cast<void**>(servtbl), numsrvent, &enti, SRVTBL_MAX, sizeof(srvent));
  if (rc != PTBL_OK) {
    if (rc == PTBL_FULL)
      printf("** Error: Server Table is full. Connection rejected.\n");
    else
      printf("** Error: rc=%lu creating Server Table entry. Connection rejected.\n",
             (unsigned long)rc);
    goto rejected;
  }
  if (ctx->dbglevel >= 3 && *numsrvent != before)
    printf("addsrvent() updated numsrvent to %lu\n", (unsigned long)*numsrvent);

  // The two socket entries, socn1's first.
  before = *numsoctbl;
  rc = ptbladd(stbl, numsoctbl, &soci1, SOCTBL_MAX, sizeof(socent));
  if (rc == PTBL_OK) rc = ptbladd(stbl, numsoctbl, &soci2, SOCTBL_MAX, sizeof(socent));
  if (rc != PTBL_OK) {
    if (rc == PTBL_FULL)
      printf("** Error: Socket Table is full. Connection rejected.\n");
    else
      printf("** Error: rc=%lu creating Socket Table entry. Connection rejected.\n",
             (unsigned long)rc);
    goto rejected;
  }
  if (ctx->dbglevel >= 3) {
    if (*numsoctbl != before)
      printf("addsrvent() updated numsoctbl to %lu\n", (unsigned long)*numsoctbl);
    printf("addsrvent() added Socket Table entries %lu %lu\n", (unsigned long)soci1,
           (unsigned long)soci2);
  }

  {
    // Fill the entries; the connection now owns both sockets and both buffers.
    srvent* psrv = servtbl[enti];
    psrv->socn1 = socnew;
    psrv->socn2 = socn2;
    psrv->soci1 = soci1;
    psrv->soci2 = soci2;
    psrv->peeraddr = peeraddr;
    psrv->buf1 = buf1;
    psrv->buf2 = buf2;
    psrv->bufsize = bufsize;
    uint32_t now = tickcount();
    socent* a = soctbl[soci1];
    a->soc = socnew, a->conn = 1, a->enti = enti, a->lasttime = now;
    socent* b = soctbl[soci2];
    b->soc = socn2, b->conn = 2, b->enti = enti, b->lasttime = now;
  }
  *index = enti;
  return 0;

rejected:
  // Undo in reverse order: tables and heap as they were, the client closed.
  if (soci1 != IDX_NONE) ptbldel(stbl, numsoctbl, soci1);
  if (enti != IDX_NONE) ptbldel(reinterpret_cast<void**>(servtbl), numsrvent, enti);
  free(buf1);
  free(buf2);
  if (socn2 != NET_INVALID) net_close(socn2);
  net_close(socnew);
  return 1;
}

socent* partnerof(const socent* p, runctx* ctx) {
  const srvent* psrv = ctx->servtbl[p->enti];
  return ctx->soctbl[p->conn == 1 ? psrv->soci2 : psrv->soci1];
}

namespace {

// Wipe and free a socket entry's cipher work areas.
void freectx(socent* p, uint32_t ctxsize) {
  if (p->encrctx) {
    secure_zero(p->encrctx, ctxsize);
    free(p->encrctx);
    p->encrctx = nullptr;
  }
  if (p->decrctx) {
    secure_zero(p->decrctx, ctxsize);
    free(p->decrctx);
    p->decrctx = nullptr;
  }
}

}  // namespace

void freesrvent(uint32_t index, runctx* ctx, srvent** servtbl, uint32_t* numsrvent,
                socent** soctbl, uint32_t* numsoctbl) {
  srvent* psrv = index < SRVTBL_MAX ? servtbl[index] : nullptr;
  if (psrv == nullptr) {
    if (ctx->dbglevel >= 1)
      printf("** freesrvent(): servtbl[%lu] is already NULL\n", (unsigned long)index);
    return;
  }
  net_close(psrv->socn1);
  net_close(psrv->socn2);

  // The buffers hold relayed data, plain or not.
  secure_zero(psrv->buf1, psrv->bufsize);
  free(psrv->buf1);
  secure_zero(psrv->buf2, psrv->bufsize);
  free(psrv->buf2);

  // The socket entries hold nonces, keys and the handshake user.
  uint32_t ctxsize = ctx->paramrec->ctxsize;
  uint32_t before = *numsoctbl;
  for (uint32_t soci : {psrv->soci1, psrv->soci2}) {
    if (soci >= *numsoctbl || soctbl[soci] == nullptr) continue;
    freectx(soctbl[soci], ctxsize);
    secure_zero(soctbl[soci], sizeof(socent));
    ptbldel(reinterpret_cast<void**>(soctbl), numsoctbl, soci);
  }
  if (ctx->dbglevel >= 3 && *numsoctbl != before)
    printf("freesrvent() updated numsoctbl to %lu\n", (unsigned long)*numsoctbl);

  before = *numsrvent;
  secure_zero(psrv, sizeof(srvent));
  ptbldel(reinterpret_cast<void**>(servtbl), numsrvent, index);
  if (ctx->dbglevel >= 3 && *numsrvent != before)
    printf("freesrvent() updated numsrvent to %lu\n", (unsigned long)*numsrvent);
}
