// The Socket Table and the Server Table, and the operations that create and
// destroy a relayed connection as a whole.
#pragma once
#include <cstddef>
#include <cstdint>

#include "common/conn.h"
#include "common/runctx.h"

// Results of ptbladd.
constexpr uint32_t PTBL_OK = 0;
constexpr uint32_t PTBL_FULL = 1;      // the count has reached the maximum
constexpr uint32_t PTBL_NOMEM = 2;     // the entry could not be allocated
constexpr uint32_t PTBL_COUNT = 3;     // the count exceeds the maximum
constexpr uint32_t PTBL_SIZE = 4;      // an entry size of 0

// ptbladd(tbl, count, index, max, size): allocate a zeroed entry of size bytes
// in the first free slot of tbl; a PTBL_* result. index is IDX_NONE unless
// the result is PTBL_OK.
uint32_t ptbladd(void** tbl, uint32_t* count, uint32_t* index, uint32_t max, size_t size);

// ptbldel(tbl, count, index): free the entry at index and lower count past
// the null slots at the top. Always 0.
uint32_t ptbldel(void** tbl, uint32_t* count, uint32_t index);

// addsrvent(socnew, peeraddr, ctx, servtbl, numsrvent, index, soctbl,
// numsoctbl): set up a connection for the accepted socket socnew, whose peer
// accept() reported at peeraddr; 0 done, 1 refused or rejected.
uint32_t addsrvent(uint32_t socnew, uint32_t peeraddr, runctx* ctx, srvent** servtbl, uint32_t* numsrvent,
                   uint32_t* index, socent** soctbl, uint32_t* numsoctbl);

// partnerof(p, ctx): the other socket entry of p's connection.
socent* partnerof(const socent* p, runctx* ctx);

// freesrvent(index, ctx, servtbl, numsrvent, soctbl, numsoctbl): close and free
// the whole connection at Server Table index, wiping buffers and work areas.
void freesrvent(uint32_t index, runctx* ctx, srvent** servtbl, uint32_t* numsrvent,
                socent** soctbl, uint32_t* numsoctbl);
