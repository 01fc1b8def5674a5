// The console log: time stamps, hex dumps and socket error explanations.
// Every log line goes to stdout through printf-style formats.
#pragma once
#include <cstdint>

constexpr uint32_t TSTAMPLEN = 20;   // "2006/08/04 14:05:09" and its terminator

// tstamp(out): write the local date and time as "yyyy/mm/dd hh:mm:ss".
void tstamp(char out[TSTAMPLEN]);

// hexdump(data, len): print len bytes as offset, hex groups, EBCDIC and ASCII columns.
void hexdump(const uint8_t* data, uint32_t len);

// sockerrmsg(connid, err): print the explanation line of a Winsock error code,
// prefixed with "connid: " when connid is not 0; nothing for unknown codes.
void sockerrmsg(uint32_t connid, int err);
