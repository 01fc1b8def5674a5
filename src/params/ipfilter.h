// The IP address filter: its items and the check of each accepted client.
#pragma once
#include <cstdint>

#include "common/paramrec.h"

// ipfilter(addr, prm): true when the filter items of prm allow a client with
// the IPv4 address addr (network byte order, first octet lowest in memory).
bool ipfilter(uint32_t addr, const paramrec* prm);

// filtparse(token, addr, len): parse the address prefix token, 1 to 4 decimal
// octets of 1 to 3 digits and at most 255, each but the last ended by ".", a
// single "." allowed after the last. 0 valid, with the octets in *addr (first
// octet in the lowest 8 bits, missing octets 0) and their count in *len; 1
// invalid, *addr and *len 0.
uint32_t filtparse(const char* token, uint32_t* addr, uint8_t* len);

// ipfiltitem(prm, type, token, code, dbglevel): store the item of a FILTER
// statement with the action type (FILT_ALLOW or FILT_DENY) and the address
// token, whose keyword code is code (KW_ALL for ALL and ANY), in the slot
// numfilt of prm. 0 stored (numfilt grew by 1; at dbglevel 3 or more the item
// is printed); 1 the token is no valid address (message printed); 2 the table
// is full (nothing printed, the statement reader reports that).
uint32_t ipfiltitem(paramrec* prm, uint8_t type, const char* token, uint32_t code, uint32_t dbglevel);
