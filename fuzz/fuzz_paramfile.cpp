// Fuzz target: arbitrary bytes as a parameter file, and the first line of
// them as a FILTER address item. The file lives in memory (a memfd opened
// through its /proc path), so no disk is touched per input.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/paramrec.h"
#include "common/runctx.h"
#include "params/ipfilter.h"
#include "params/paramfile.h"
#include "params/scanner.h"

namespace {

int memfd = -1;
char mempath[64];

// The invariants of a parsed address prefix; abort on a violation.
void checkitem(const char* token) {
  uint32_t addr = 0;
  uint8_t len = 0;
  if (filtparse(token, &addr, &len) != 0) {
    if (addr != 0 || len != 0) abort();
    return;
  }
  if (len < 1 || len > 4) abort();
  if (len < 4 && (addr >> (8 * len)) != 0) abort();
  // The octets printed back in dotted form parse to the same item.
  char dotted[20];
  int n = 0;
  for (uint8_t i = 0; i < len; i++) n += snprintf(dotted + n, sizeof dotted - n, i ? ".%u" : "%u", (addr >> (8 * i)) & 0xFF);
  uint32_t addr2 = 0;
  uint8_t len2 = 0;
  if (filtparse(dotted, &addr2, &len2) != 0 || addr2 != addr || len2 != len) abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The reader talks a lot; libFuzzer reports on stderr.
  int devnull = open("/dev/null", O_WRONLY);
  if (devnull >= 0) dup2(devnull, 1);
  memfd = memfd_create("kevra-paramfile", 0);
  if (memfd < 0) abort();
  snprintf(mempath, sizeof mempath, "/proc/self/fd/%d", memfd);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The whole input as a parameter file, read at the highest debug level.
  if (ftruncate(memfd, 0) != 0) abort();
  if (size > 0 && pwrite(memfd, data, size, 0) != ssize_t(size)) abort();
  auto prm = std::make_unique<paramrec>();
  runctx ctx{};
  ctx.dbglevel = 3;
  ctx.paramrec = prm.get();
  readparamfile(mempath, &ctx);
  if (prm->numfilt > MAXFILT || prm->numusers > MAXUSERS) abort();
  if (prm->cluser.ulen > UNAMELEN || prm->cluser.pwlen > SECRETLEN) abort();
  for (uint32_t i = 0; i < prm->numfilt; i++)
    if (prm->filtlen[i] > 4) abort();

  // The first line as an address token.
  char token[TOKENSIZE];
  size_t n = 0;
  while (n < size && n < TOKENSIZE - 1 && data[n] != '\n' && data[n] != 0) {
    token[n] = char(data[n]);
    n++;
  }
  token[n] = 0;
  checkitem(token);
  prm->numfilt = 0;
  ipfiltitem(prm.get(), FILT_DENY, token, kwlookup(token, uint32_t(n)), 3);
  uint32_t peer = 0;
  memcpy(&peer, data, size < 4 ? size : 4);
  (void)ipfilter(peer, prm.get());
  fflush(stdout);
  return 0;
}
