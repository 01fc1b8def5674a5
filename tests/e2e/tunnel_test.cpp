// The secure tunnel end to end: relays chained on loopback in front of an
// echo server, from the serverside end to the clientside end, each row with
// the outcome it must reach and a line one of the relays must log. The
// serverside end is the peer build (KEVRA_PEER_BIN): so the tunnel is also
// checked between two builds.
#include <gtest/gtest.h>

#include "support/harness.h"

namespace {

using namespace harness;

std::string opt(const std::string& more) { return "TUNNEL OPTIONS ENCRTYPE " + more + "\n"; }
std::string srv(const std::string& u, const std::string& s) {
  return "TUNNEL SERVERSIDE USERNAME " + u + " SECRET " + s + "\n";
}
std::string cli(const std::string& u, const std::string& s) {
  return "TUNNEL CLIENTSIDE USERNAME " + u + " SECRET " + s + "\n";
}

struct chain {
  const char* name;
  std::vector<std::pair<std::string, std::string>> relays;   // parameter file, buffer option
  bool ok;     // data goes through byte for byte; else the client is closed
  size_t at;   // the relay whose log holds line
  const char* line;
};

const chain kChains[] = {
    {"DifferentRecordRules",
     {{opt("RC4 MSGLENMULT 16") + srv("branch", "'s3cret words'"), ""},
      {opt("RC4 MSGLENMULT 1024 MINMSGLEN 3000") + cli("branch", "'s3cret words'"), ""}},
     true,
     0,
     "1: Authenticating conn 1 (as server side of tunnel)\n   Username: branch\n"},
    {"SmallBuffers",
     {{opt("RC4 MSGLENMULT 512") + srv("u", "p"), "-buf=512"},
      {opt("RC4 MSGLENMULT 512") + cli("u", "p"), "-buf=512"}},
     true,
     0,
     "1: Authentication ok, secure tunnel established.\n"},
    // The middle relay is serverside and clientside: its own handshake starts
    // once the first one is done. It receives records padded to 16 and pads
    // to 256: a full record's payload does not fit one of its own, and goes
    // on as two.
    {"Middle",
     {{opt("DES3") + srv("m", "m-to-s"), "-buf=100000"},
      {opt("DES3") + srv("c", "c-to-m") + cli("m", "m-to-s"), "-buf=100000"},
      {opt("DES3 MSGLENMULT 16") + cli("c", "c-to-m"), "-buf=100000"}},
     true,
     1,
     "1: Authentication ok, secure tunnel established.\n1: Authenticating conn 2 (as client side"},
    // Ends started with different -buf=: the larger end's records do not fit the other's buffer.
    {"DifferentBuffers",
     {{opt("RC4") + srv("u", "p"), ""}, {opt("RC4") + cli("u", "p"), "-buf=65536"}},
     false,
     0,
     " bytes, longer than this end's buffer of 8192: start both ends with the same -buf=)\n"},
    {"WrongSecret",
     {{opt("RC4") + srv("u", "right"), ""}, {opt("RC4") + cli("u", "wrong"), ""}},
     false,
     1,
     "1: ** Incorrect message received during authentication.\n"
     "      Possible wrong secret, or mismatched encryption type.\n   Connection closed.\n"},
};

void PrintTo(const chain& r, std::ostream* os) { *os << r.name; }

class Tunnel : public testing::TestWithParam<chain> {};

TEST_P(Tunnel, Outcome) {
  const chain& r = GetParam();
  server echoes(echo);
  std::vector<proc> relays;
  uint16_t site = echoes.port;
  for (size_t i = 0; i < r.relays.size(); i++) {
    uint16_t port = free_port();
    // At -d: the handshake messages and reads tried before select() has
    // reported the socket ready must print no would-block note.
    std::vector<std::string> opts = {"-d", "-f=" + file(std::to_string(i), r.relays[i].first)};
    if (!r.relays[i].second.empty()) opts.push_back(r.relays[i].second);
    relays.push_back(
        relay(args(opts, port, site), "", false, i == 0));   // the serverside end: the peer build
    site = port;
  }
  client c(site);
  if (r.ok) {
    // Messages around the record sizes on one connection, then 8 MB on another.
    for (size_t n : {1, 176, 177, 8112, 30000})
      EXPECT_TRUE(echo_ok(c.fd, random_bytes(n, uint32_t(n)))) << n;
    client big(site);
    EXPECT_TRUE(echo_ok(big.fd, random_bytes(8 << 20, 7), 120000));
    for (auto& p : relays) EXPECT_EQ(p.count("** ") + p.count("WOULDBLOCK"), 0u) << p.out;
  } else {
    send_all(c.fd, random_bytes(20000, 8).data(), 20000, 3000);
    EXPECT_TRUE(wait_closed(c.fd, 60000));
  }
  EXPECT_TRUE(relays[r.at].wait_for(r.line, 60000)) << relays[r.at].out;
}

INSTANTIATE_TEST_SUITE_P(Chains, Tunnel, testing::ValuesIn(kChains),
                         [](const testing::TestParamInfo<chain>& i) { return i.param.name; });

// A state folder that others may write is refused: the nonces go on without
// the seed files, and the log says so once, not at every connection.
TEST(TunnelState, RefusedFolderIsReportedOnce) {
  std::string open = testdir() + "/open";
  ASSERT_EQ(::mkdir(open.c_str(), 0777), 0);
  ASSERT_EQ(::chmod(open.c_str(), 0777), 0);
  server echoes(echo);
  uint16_t sport = free_port(), cport = free_port();
  proc s = relay(args({"-f=" + file("s", srv("u", "p"))}, sport, echoes.port), "", false, true);
  proc c = relay(args({"-f=" + file("c", cli("u", "p"))}, cport, sport),
                 "KEVRA_STATEDIR=" + open + " exec \"$@\"");
  for (int i = 0; i < 3; i++) {
    client a(cport);
    EXPECT_TRUE(echo_ok(a.fd, "hello", 15000)) << c.out;
  }
  EXPECT_EQ(c.count("** Warning: In encrsetup(), gennonce() gave rc=3\n"), 1u) << c.out;
  EXPECT_TRUE(std::filesystem::is_empty(open)) << "state written into the refused folder";
}

}   // namespace
