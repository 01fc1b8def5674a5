// The command line: one argv table.
#include "core/cmdline.h"

#include "unit/unitutil.h"

using namespace ut;

namespace {

const std::string VERSION =
    "kevra, version 1.1 of 04aug2006\nCopyright (c) 2006-2026 the kevra developers\n";
const std::string MISSING = "** Missing parameter(s) on command\n";
const std::string USAGE = out(printusage);

// parse(args): parsecmd over the arguments, separated by '|' (the program
// name is added); its result, its log and the settings it made, as text.
std::string parse(const std::string& args) {
  std::vector<std::string> list{"kevra"};
  for (size_t at = 0; !args.empty() && at <= args.size();) {
    size_t bar = std::min(args.find('|', at), args.size());
    list.push_back(args.substr(at, bar - at));
    at = bar + 1;
  }
  std::vector<char*> argv;
  cmdopts o;
  uint32_t rc = 9;
  for (auto& a : list) argv.push_back(a.data());
  std::string log = out([&] { rc = parsecmd(int(argv.size()), argv.data(), &o); });
  if (rc != 0) return std::to_string(rc) + " " + log;
  char s[300];
  snprintf(s, sizeof s, "%u %s %u buf=%u t=%u/%u d=%u b=%s f=%s 1=%u w=%u ", o.listenport,
           o.connsite ? o.connsite : "-", o.connport, o.bufsize, o.trace, o.tracelen, o.dbglevel,
           o.bindaddr ? o.bindaddr : "-", o.paramfile ? o.paramfile : "-", o.acceptone, o.web);
  return s + log;
}

}   // namespace

TEST(Cmdline, ArgvTable) {
  const std::string D = " buf=8192 t=0/512 d=0 b=- f=- 1=0 w=0 ";   // the defaults
  const struct {
    const char* args;
    std::string want;
  } rows[] = {
      // want: the result and log, or the settings and log
      {"80|host|23", "80 host 23" + D},
      {" 80|h|65535", "80 h 65535" + D},
      {"-b=a|2001|-1|site|-f=x.txt|-b=localhost|23|-d=3|-d",
       "2001 site 23 buf=8192 t=0/512 d=1 b=localhost f=x.txt 1=1 w=0 " + VERSION},
      {"-buf=511|1|h|2", "1 h 2 buf=512 t=0/512 d=0 b=- f=- 1=0 w=0 "},
      {"-buf=200000|1|h|2", "1 h 2 buf=200000 t=0/512 d=0 b=- f=- 1=0 w=0 "},
      {"-buf=200001|1|h|2", "1 ** Invalid buf size option value: 200001\n"},
      {"-buf=1234567890|1|h|2", "1 ** Invalid buf size option value: 1234567890\n"},
      {"-buf=12k|1|h|2", "1 ** Invalid buf size option value: 12k\n"},
      {"-t|-t=0|1|h|2", "1 h 2 buf=8192 t=0/512 d=0 b=- f=- 1=0 w=0 "},
      {"-t=64|-t|1|h|2", "1 h 2 buf=8192 t=1/64 d=0 b=- f=- 1=0 w=0 "},
      {"-t|1|h|2", "1 h 2 buf=8192 t=1/512 d=0 b=- f=- 1=0 w=0 "},
      {"-t=x|1|h|2", "1 ** Invalid trace option value: x\n"},
      {"-d=5|1|h|2", "1 h 2 buf=8192 t=0/512 d=5 b=- f=- 1=0 w=0 " + VERSION},
      {"-d=-1|1|h|2", "1 ** Invalid debug option level: -1\n"},
      {"-w|8000", "8000 - 0 buf=8192 t=0/512 d=0 b=- f=- 1=0 w=1 "},
      {"-v|80|host|23", "80 host 23" + D + VERSION},
      {"80|host", "1 " + MISSING},
      {"-w", "1 " + MISSING},
      // A fourth positional ends the scan: the bad option after it goes unseen.
      {"80|host|23|extra|-zzz", "1 ** Too many parameters on command\n"},
      // Complaints in argument order, the version lines after the scan.
      {"-x|0|-v|host", "1 ** Invalid option: -x\n** Invalid port number: 0\n" + VERSION + MISSING},
      // The version alone, or the usage, is the whole answer; errors still count.
      {"-v", "2 " + VERSION},
      {"--version|-d=2", "2 " + VERSION},
      {"--version|80", "1 " + VERSION + MISSING},
      {"-h|80|h|2", "2 " + USAGE},
      {"-?|-w", "2 " + USAGE},
      {"-h|-q", "1 ** Invalid option: -q\n" + MISSING},
  };
  for (const auto& r : rows) EXPECT_EQ(parse(r.args), r.want) << r.args;
  for (std::string a : {"-d=", "-b=", "-f=", "-t=", "-buf=", "-x", "-1x", "-", "-V", "-dd"})
    EXPECT_EQ(parse(a + "|1|h|2"), "1 ** Invalid option: " + a + "\n");
  for (std::string p : {"0", "65536", " ", "12a", "80 ", "", "1234567890", "9/", ":9"}) {
    EXPECT_EQ(parse(p + "|h|2"), "1 ** Invalid port number: " + p + "\n");
    EXPECT_EQ(parse("1|h|" + p), "1 ** Invalid port number: " + p + "\n");
  }
}
