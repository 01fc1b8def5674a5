// The IP address filter.
#pragma once
#include <cstdint>

#include "params/paramrec.h"

// ipfilter(addr, prm): true when the filter items of prm allow a client with
// the IPv4 address addr (network byte order, first octet lowest in memory).
bool ipfilter(uint32_t addr, const paramrec* prm);
