// Fuzz target: arbitrary bytes as a command line (arguments separated by
// zero bytes) through the option scan, and as texts for decnum and for the
// dotted-address half of resolve. Host names are left out: they would be
// looked up on the network.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/cmdline.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The scan prints its complaints; keep the fuzzer's output readable.
  static FILE* quiet = freopen("/dev/null", "w", stdout);
  (void)quiet;

  std::vector<std::string> args{"kevra"};
  std::string cur;
  for (size_t i = 0; i < size; i++) {
    if (data[i] == 0) {
      args.push_back(cur), cur.clear();
    } else {
      cur += char(data[i]);
    }
  }
  args.push_back(cur);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  cmdopts o{};
  uint32_t rc = parsecmd(int(args.size()), argv.data(), &o);
  if (rc == 0) {
    // A usable command has a port in range and texts inside argv.
    if (o.listenport < 1 || o.listenport > 65535) abort();
    if (!o.web && (o.connport < 1 || o.connport > 65535 || o.connsite == nullptr)) abort();
    if (o.bufsize < BUFSIZE_MIN || o.bufsize > BUFSIZE_MAX) abort();
  }

  int v = decnum(cur.c_str(), uint32_t(cur.size()));
  if (v < -2 || v > 999999999) abort();

  if (!cur.empty() && cur.find_first_not_of("0123456789.") == std::string::npos) {
    uint32_t addr = 1;
    int r = resolve(cur.c_str(), &addr);
    if (r != 0 && r != -2) abort();
    if (r != 0 && addr != 0) abort();
  }
  return 0;
}
