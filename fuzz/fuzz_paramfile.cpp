// Fuzz target: arbitrary bytes as a parameter file, and their first line as a
// FILTER address item. The file lives in memory (a memfd opened through its
// /proc path), so no disk is touched per input.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "params/ipfilter.h"
#include "params/paramfile.h"
#include "params/scanner.h"

namespace {

int memfd = -1;
char mempath[64];

}   // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (!freopen("/dev/null", "w", stdout) || (memfd = memfd_create("kevra-paramfile", 0)) < 0)
    abort();
  snprintf(mempath, sizeof mempath, "/proc/self/fd/%d", memfd);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The whole input as a parameter file, read at the highest debug level.
  if (ftruncate(memfd, 0) != 0 || (size > 0 && pwrite(memfd, data, size, 0) != ssize_t(size)))
    abort();
  auto prm = std::make_unique<paramrec>();
  runctx ctx{};
  ctx.dbglevel = 3;
  ctx.paramrec = prm.get();
  readparamfile(mempath, &ctx);
  if (prm->numfilt > MAXFILT || prm->numusers > MAXUSERS || prm->cluser.ulen > UNAMELEN ||
      prm->cluser.pwlen > SECRETLEN)
    abort();
  for (uint32_t i = 0; i < prm->numfilt; i++)
    if (prm->filtlen[i] > 4) abort();

  // The first line as an address item: a valid one has 1 to 4 octets and,
  // printed back in dotted form, parses to the same item.
  char token[TOKENSIZE], dotted[20] = "";
  size_t n = 0;
  for (; n < size && n < TOKENSIZE - 1 && data[n] != '\n' && data[n] != 0; n++)
    token[n] = char(data[n]);
  token[n] = 0;
  uint32_t addr = 0, addr2 = 0;
  uint8_t len = 0, len2 = 0;
  if (filtparse(token, &addr, &len) != 0) {
    if (addr != 0 || len != 0) abort();
  } else {
    if (len < 1 || len > 4 || (len < 4 && addr >> (8 * len) != 0)) abort();
    for (uint8_t i = 0, k = 0; i < len; i++)
      k += uint8_t(
          snprintf(dotted + k, sizeof dotted - k, i ? ".%u" : "%u", (addr >> (8 * i)) & 0xFF));
    if (filtparse(dotted, &addr2, &len2) != 0 || addr2 != addr || len2 != len) abort();
  }
  prm->numfilt = 0;
  ipfiltitem(prm.get(), FILT_DENY, token, kwlookup(token, uint32_t(n)), 3);
  (void)ipfilter(
      size >= 4 ? uint32_t(data[0] | data[1] << 8 | data[2] << 16 | uint32_t(data[3]) << 24) : 0,
      prm.get());
  return 0;
}
