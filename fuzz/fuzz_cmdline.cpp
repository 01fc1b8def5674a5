// Fuzz target: arbitrary bytes as a command line (arguments separated by
// zero bytes) through the option scan, and the last argument through decnum
// and, when it is digits and dots, the dotted-address half of resolve (host
// names are left out: they would be looked up on the network).
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/cmdline.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  [[maybe_unused]] static bool quiet =
      freopen("/dev/null", "w", stdout) != nullptr;   // the scan prints its complaints
  std::vector<std::string> args{"kevra", ""};
  for (size_t i = 0; i < size; i++) {
    if (data[i] != 0)
      args.back() += char(data[i]);
    else
      args.emplace_back();   // a NUL byte ends an argument
  }
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  cmdopts o;
  if (parsecmd(int(argv.size()), argv.data(), &o) == 0 &&
      (o.listenport < 1 || o.listenport > 65535 || o.bufsize < BUFSIZE_MIN ||
       o.bufsize > BUFSIZE_MAX ||
       (!o.web && (o.connport < 1 || o.connport > 65535 || o.connsite == nullptr))))
    abort();   // a usable command has its ports and sizes in range

  const std::string& last = args.back();
  int v = decnum(last.c_str(), uint32_t(last.size()));
  uint32_t addr = 1;
  if (v < -2 || v > 999999999) abort();
  if (!last.empty() && last.find_first_not_of("0123456789.") == std::string::npos) {
    int r = resolve(last.c_str(), &addr);
    if ((r != 0 && r != -2) || (r != 0 && addr != 0)) abort();
  }
  return 0;
}
