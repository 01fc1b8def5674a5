#include "common/log.h"

#include <cstdio>
#include <cstring>

#include "common/ebcdic.h"
#include "platform/clock.h"

namespace {

// One explanation per Winsock error code; codes not listed get no line.
struct errtext {
  int code;
  const char* text;
};
constexpr errtext sockerrtexts[] = {
    {10048, "WSAEADDRINUSE: addr in use, try a different listenport"},
    {10049, "WSAEADDRNOTAVAIL: specified IP address is not valid"},
    {10050, "WSAENETDOWN: network failure"},
    {10051, "WSAENETUNREACH: network unreachable"},
    {10052, "WSAENETRESET: connection broken due to keep-alive"},
    {10053, "WSAECONNABORTED: connection failure"},
    {10054, "WSAECONNRESET: connection reset by peer"},
    {10057, "WSAENOTCONN: not connected"},
    {10058, "WSAESHUTDOWN: connection shut down"},
    {10060, "WSAETIMEDOUT: connection failure"},
    {10061, "WSAECONNREFUSED: connection refused"},
    {10065, "WSAEHOSTUNREACH: host unreachable"},
};

constexpr uint32_t DUMPLINE = 16;   // bytes per hex dump line

char printable(uint8_t c) {
  return c >= 0x20 && c <= 0x7E ? char(c) : '.';
}

}  // namespace

void tstamp(char out[TSTAMPLEN]) {
  localtm t;
  getlocaltm(&t);
  // The fields are bounded so the stamp always fits its 20 bytes.
  char hms[9];
  snprintf(hms, sizeof hms, "%02d:%02d:%02d", t.hour % 100, t.minute % 100, t.second % 100);
  snprintf(out, TSTAMPLEN, "%04d/%02d/%02d %-8.8s", t.year % 10000, t.month % 100, t.day % 100, hms);
}

void hexdump(const uint8_t* data, uint32_t len) {
  for (uint32_t off = 0; off < len; off += DUMPLINE) {
    uint32_t n = len - off < DUMPLINE ? len - off : DUMPLINE;
    const uint8_t* line = data + off;

    // Offset, then the bytes in groups of four.
    printf("%04lX:", (unsigned long)off);
    for (uint32_t i = 0; i < n; i++) {
      if (i % 4 == 0) printf(" ");
      printf("%02lX", (unsigned long)line[i]);
    }

    // The EBCDIC column works on a copy: the caller's data is relayed on.
    uint8_t ebc[DUMPLINE];
    memcpy(ebc, line, n);
    ebcdictoascii(ebc, n);
    char text[DUMPLINE + 1];
    for (uint32_t i = 0; i < n; i++) text[i] = printable(ebc[i]);
    text[n] = 0;
    printf(" *%s* *", text);

    // The ASCII column.
    for (uint32_t i = 0; i < n; i++) text[i] = printable(line[i]);
    printf("%s*\n", text);
  }
}

void sockerrmsg(uint32_t connid, int err) {
  for (const errtext& e : sockerrtexts) {
    if (e.code != err) continue;
    char prefix[16] = "";
    if (connid != 0) snprintf(prefix, sizeof prefix, "%lu: ", (unsigned long)connid);
    printf("%s   (%s)\n", prefix, e.text);
    return;
  }
}
