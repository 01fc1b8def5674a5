// Why the relay ended: one row per scenario, from the command line and what
// happens to it, to the exit code and the lines of its log that say why.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/harness.h"

namespace {

// What the test does once the relay runs: nothing (it ends by itself), or
// connect one client that echoes 100 bytes and closes, echoes and resets,
// only connects, or pushes toward a server that never reads.
enum act { none, clean, reset, connect, push };

struct row {
  const char* name;
  std::vector<std::string> args;   // $L its port, $S the server's, $X a closed one, $F the file
  std::string par;   // parameter file text, if any; "fifo" makes $F a FIFO, "dir" a folder
  act a;
  const char* sh;   // a shell script around it, ending in exec "$@"; "other": another user
  int code;
  std::vector<std::string> lines;   // in the log ($F replaced); with "!" first: not in it; with
                                    // "~": only from the Linux build (the system's own words)
};

const std::string kUser = "TUNNEL SERVERSIDE USERNAME bob SECRET x\n";
const std::string kAsk = "tunnel clientside username ? secret ?\n";
std::vector<std::string> one(std::vector<std::string> opts) {   // accept-one toward the server
  opts.insert(opts.end(), {"-1", "$L", "127.0.0.1", "$S"});
  return opts;
}
// A parameter file that is not applied whole: kevra does not start.
const std::string kNotStarted = "** kevra not started: 1 error in parameter file $F\n";
std::string filters(int n) {
  std::string f;
  for (int i = 0; i < n; i++) f += "FILTER ALLOW 127." + std::to_string(i % 256) + "\n";
  return f;
}

// clang-format off
// (A table: one row a scenario, laid out by hand.)
const row kRows[] = {
    {"Usage", {}, "", none, "", 1,
     {"** Missing parameter(s) on command\nUsage:  kevra options listenport "}},
    {"Version", {"-v"}, "", none, "", 0,
     {"kevra 1.1\nkevra, version 1.1 of 04aug2006\n"
      "Copyright (c) 2006-2026 the kevra developers\n", "!Missing", "!Usage"}},
    {"Resolve", {"-d", "80", "1.2.3", "23"}, "", none, "", 3,
     {"** Unable to resolve site, resolve() rc=-2: 1.2.3\n"}},
    {"ResolveIPv6", {"80", "::1", "23"}, "", none, "", 3,
     {"** Unable to resolve site, resolve() rc=",
      ": ::1\n   (IPv6 addresses are not supported)\n"}},
    {"BindAddress", {"-b=1.2.03.4", "80", "127.0.0.1", "23"}, "", none, "", 12,
     {"** -b option: unable to resolve name, resolve() rc=-2: 1.2.03.4\n", "!IPv6"}},
    {"BindAddressIPv6", {"-b=::", "80", "127.0.0.1", "23"}, "", none, "", 12,
     {"** -b option: unable to resolve name, resolve() rc=",
      ": ::\n   (IPv6 addresses are not supported)\n"}},
    // A parameter file applied in part never serves: exit 21 after every
    // message of the file, before any socket is made.
    {"FileMissing", {"-d", "-f=$F", "$L", "127.0.0.1", "$S"}, "", none, "", 21,   // no $F
     {"** Error opening parameter file $F\n   (",
      "~** Error opening parameter file $F\n   (No such file or directory)\n", kNotStarted}},
    {"FileForRootOnly", {"-f=$F", "$L", "127.0.0.1", "$S"}, kUser, none, "other", 21,
     {"** Error opening parameter file $F\n   (", "~   (Permission denied)\n", kNotStarted}},
    {"FileIsAFifo", {"-f=$F", "$L", "127.0.0.1", "$S"}, "fifo", none, "", 21,   // no writer awaited
     {"** Error opening parameter file $F\n   (not a regular file)\n" + kNotStarted}},
    {"FileIsAFolder", {"-f=$F", "$L", "127.0.0.1", "$S"}, "dir", none, "", 21,
     {"** Error opening parameter file $F\n   (not a regular file)\n" + kNotStarted}},
    // On the server's port: a relay that bound before it decided would end
    // with bind()'s exit code 5 instead.
    {"OneTypo", {"-f=$F", "$S", "127.0.0.1", "$S"},
     "TUNNEL OPTIONS ENCRTYPE RC4\nTUNEL SERVERSIDE USERNAME bob SECRET x\n", none, "", 21,
     {"** Error: unknown statement in parameter file: TUNEL\n   (line 2 of $F)\n" + kNotStarted}},
    {"FilterItem501", {"-f=$F", "$L", "127.0.0.1", "$S"}, filters(500) + "FILTER DENY ALL\n",
     none, "", 21,
     {"** IP filter table is full, statement ignored: FILTER DENY ALL\n   (line 501 of $F)\n" +
      kNotStarted}},
    {"SecretWithBlanks", {"-f=$F", "$L", "127.0.0.1", "$S"},
     "TUNNEL SERVERSIDE SECRET correct horse battery USER bob\n", none, "", 21,
     {"** Error: invalid keyword ******** on TUNNEL statement\n   (line 1 of $F)\n" + kNotStarted,
      "!horse", "!battery"}},
    {"TwoErrors", {"-f=$F", "$L", "127.0.0.1", "$S"},
     "LIST ON\nFILTER DENY 300\nTUNNEL CL USER a\n", none, "", 21,
     {"** kevra not started: 2 errors in parameter file $F\n"}},
    {"PortInUse", {"-d", "$S", "127.0.0.1", "23"}, "", none, "", 5,
     {"** bind() error 10048\n   (WSAEADDRINUSE: addr in use, try a different listenport)\n"}},
    {"RecordTooBig", {"-f=$F", "-buf=512", "$L", "127.0.0.1", "9"},
     "TUNNEL OPTIONS MSGLENMULT 600\n" + kUser, none, "", 18,
     {"** Error: msglenmult option is too big relative to buffer size\n", "!rounded",
      "!Listening"}},
    {"MinimumTooBig", {"-f=$F", "-buf=512", "$L", "127.0.0.1", "9"},
     "TUNNEL OPTIONS MINMSGLEN 600 MSGLENMULT 256\n" + kUser, none, "", 18,
     {"** Error: minmsglen option is too big relative to buffer size\n"}},
    {"RoundedUp", {"-d", "-f=$F", "$L", "1.2.3", "23"}, "TUNNEL OPTIONS MSGLENMULT 100\n" + kUser,
     none, "", 3, {"msglenmult option rounded up to 112\n"}},
    {"NoConsoleInput", {"-d", "-f=$F", "$L", "127.0.0.1", "9"}, kAsk, none, "", 20,
     {"\n\nEnter username for clientside authentication: \n"
      "** Error: console input ended; no username or secret can be read.\n", "!Listening"}},
    {"CleanClose", one({"-d", "-b=127.0.0.1", "-buf=000001000"}), "", clean, "", 0,   // 9 digits
     {"Using buffer size 1000\n", "IP addr for bind(): 127.0.0.1\n", "socn3 closed\n",
      "1: Connected to server\n", "1: ** Socket EOF on conn 1\n"}},
    // Warnings do not stop it; a file applied whole relays.
    {"OnlyAWarning", one({"-f=$F", "-b=any", "-d"}), "FILTER ALLOW 127 and more\n", clean, "", 0,
     {"** Warning: extra word and on FILTER statement ignored\n   (line 1 of $F)\n",
      "IP addr for bind(): 0.0.0.0\n", "!not started"}},
    {"GoodFile", one({"-f=$F"}), "TUNNEL OPTIONS ENCRTYPE DES3\n" + filters(500), clean, "", 0,
     {"!** Error", "!** IP", "!not started"}},
    {"TraceCut", one({"-t=16"}), "", clean, "", 0,
     {"1: ---------- From client: 100 bytes:\n0000: 5FADB0BA BBBD4748 494A4B4C 4D4E4F50 "
      "*^[...].....<(+|&* *_.....GHIJKLMNOP*\n0010: ...\n"}},
    {"DebugLevel2", one({"-d=2"}), "", clean, "", 0,
     {"1: recv(): 100 bytes read from conn 1, at displ 0 in buf.\n", "!Handling oper"}},
    {"DebugLevel3", one({"-d=3"}), "", clean, "", 0,
     {"1: Handling oper RD conn 1 action=1 rneed=0 rdone=0\n   Doing recv(), max len = 8192\n",
      "!>>> Loop",
      "1: Handling oper RD conn 2 action=1 rneed=0 rdone=0\n   Doing recv(), max len = 8192\n"}},
    {"DebugLevel5", one({"-d=5"}), "", clean, "", 0,
     {">>> Loop: i=0 oper=4 i1=0 enti=0 stype=1 conn 0  inactive 0 secs\n",
      ">>> Loop: i=1 oper=8 i1=1 enti=0 stype=0 conn 2  inactive 0 secs\n"}},
    {"Reset", one({}), "", reset, "", 14,
     {"1: ** Socket recv() error 10054 on conn 1\n"
      "1:    (WSAECONNRESET: connection reset by peer)\n"}},
    {"FilterRefuses", one({"-f=$F", "-d"}), "filter deny 127.0.0.1\n", connect, "", 15,
     {"  Connection refused by IP address filter.\n", "!Connecting to"}},
    {"ServerDown", {"-1", "$L", "127.0.0.1", "$X"}, "", connect, "", 10,
     {"1: ** Error 10061 connecting to server\n1:    (WSAECONNREFUSED: connection refused)\n"}},
    {"AnswersFromAFile", {"-1", "-f=$F", "$L", "127.0.0.1", "$X"},
     kAsk + "tunnel serverside username carol secret ?\n",
     // A NUL byte in an answer is dropped alone, the byte after it kept.
     connect,
     "f=$KEVRA_STATEDIR/answers; printf 'bo\\000b\\nsecret\\ncarols\\n' >$f && exec \"$@\" <$f",
     10,
     {"authentication: bob\n\nEnter secret for username bob (clientside): \n\n"
      "Enter secret for username carol (serverside): "}},
    {"WebMode", {"-w", "-1", "$L"}, "", connect, "", 16,
     {"** -w not supported yet - connection closed.\n"
      "** All select() sets are empty. No work to do.\n"}},
    // Careless service managers: standard streams closed, or a log pipe that
    // nobody reads. No log line may reach a client, and the relay goes on.
    {"StreamsClosed", one({}), "", clean, "exec \"$@\" <&- >&- 2>&-", 0, {}},
    {"LogPipeGone", one({}), "", clean,
     "f=$KEVRA_STATEDIR/log; mkfifo $f && exec \"$@\" 3<>$f >$f 2>&1 3<&-", 0, {}},
    {"AcceptFails", one({}), "", connect, "ulimit -n 4; exec \"$@\"", 7,
     {"** accept() error 10024\n"}},
    {"Inactive", one({"-d"}), "", push, harness::fastclock, 9,
     {"1: ** Inactivity timeout for conn 1. Closing both sockets "}},
};
// clang-format on

void PrintTo(const row& r, std::ostream* os) { *os << r.name; }

class Exit : public testing::TestWithParam<row> {};

TEST_P(Exit, CodeAndLog) {
  const row& r = GetParam();
  harness::server srv(r.a == push ? harness::silent : harness::echo);
  uint16_t port = harness::free_port();
  std::string par = harness::testdir() + "/par";
  ::unlink(par.c_str());
  ::rmdir(par.c_str());
  if (r.par == "fifo")
    ASSERT_EQ(mkfifo(par.c_str(), 0600), 0);
  else if (r.par == "dir")
    ASSERT_EQ(mkdir(par.c_str(), 0700), 0);
  else if (!r.par.empty())
    harness::file("par", r.par);
  // A file only its owner may read, read by another user: as root the
  // relay runs as nobody; otherwise the owner is barred too.
  std::string sh = r.sh;
  if (sh == "other") {
    ASSERT_EQ(chmod(par.c_str(), geteuid() == 0 ? 0600 : 0), 0);
    sh = geteuid() == 0 ? "exec setpriv --reuid=nobody --regid=nogroup --clear-groups \"$@\"" : "";
  }
  std::vector<std::pair<std::string, std::string>> vars = {
      {"$L", std::to_string(port)},
      {"$S", std::to_string(srv.port)},
      {"$X", std::to_string(harness::free_port())},
      {"$F", par}};
  std::vector<std::string> args = r.args;
  for (auto& a : args)
    for (auto& [k, v] : vars)
      if (size_t at = a.find(k); at != std::string::npos) a.replace(at, k.size(), v);

  harness::proc p = harness::kevra(args, sh);
  p.wait_for("Listening for connections");   // unless its log goes nowhere
  harness::client c(r.a >= clean ? port : 0);
  // 100 bytes: the six where code page 1047 differs from 037, then letters.
  std::string letters = "\x5f\xad\xb0\xba\xbb\xbd";
  for (int i = 6; i < 100; i++) letters += char('A' + i % 16);
  if (r.a == clean || r.a == reset) {
    EXPECT_TRUE(harness::echo_ok(c.fd, letters, 5000)) << p.out;
    c.close(r.a == reset);
  }
  if (r.a == push) harness::send_all(c.fd, std::string(32 << 20, 'x').data(), 32 << 20, 300);
  EXPECT_EQ(p.wait_exit(10000), r.code) << p.out;

  bool linux = getenv("KEVRA_RUNNER") == nullptr || !*getenv("KEVRA_RUNNER");
  for (std::string l : r.lines) {
    if (l[0] == '~' && !linux) continue;
    for (size_t at; (at = l.find("$F")) != std::string::npos;) l.replace(at, 2, par);
    bool absent = l[0] == '!';
    EXPECT_EQ(p.out.find(l.substr(absent || l[0] == '~')) == std::string::npos, absent)
        << l << "\n----\n"
        << p.out;
  }
  // Not started: it never listened. (Its port, once it has ended, takes no
  // connection whatever it did.)
  if (r.code == 21) {
    EXPECT_EQ(p.out.find("Listening for connections"), std::string::npos) << p.out;
  }
  // The last word at a debug level, never after a usage error.
  bool debug = std::any_of(args.begin(), args.end(), [](auto& a) { return a.rfind("-d", 0) == 0; });
  EXPECT_EQ(debug && r.code != 1, p.out.find("kevra terminated with exit code " +
                                             std::to_string(r.code) + "\n") != std::string::npos)
      << p.out;
}

INSTANTIATE_TEST_SUITE_P(Rows, Exit, testing::ValuesIn(kRows),
                         [](const testing::TestParamInfo<row>& i) { return i.param.name; });

}   // namespace
