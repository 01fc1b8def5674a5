// Not a benchmark: puts the processor's model into the header of every
// crypto_bench run, since a ratio to OpenSSL holds only for the processor it
// was taken on (the RC4 loops, for one, behave differently on AMD and Intel).
#include <benchmark/benchmark.h>

#include <fstream>
#include <string>

namespace {

// The "model name" line of /proc/cpuinfo, or "unknown" where there is none.
std::string cpumodel() {
  std::ifstream f("/proc/cpuinfo");
  std::string line;
  while (std::getline(f, line)) {
    if (line.rfind("model name", 0) != 0) continue;
    size_t colon = line.find(':');
    if (colon == std::string::npos) break;
    size_t start = line.find_first_not_of(' ', colon + 1);
    return start == std::string::npos ? "unknown" : line.substr(start);
  }
  return "unknown";
}

// Runs before main(): the context is printed when the benchmarks start.
const bool added = (benchmark::AddCustomContext("cpu_model", cpumodel()), true);

}  // namespace
