// The log of one connection: data traces and the lines of each debug level.
#include "e2e/relay_util.h"

namespace {

// Run one accept-one connection toward a sink: send data, close, and
// return the whole log once the relay has ended.
std::string one_connection(std::vector<std::string> opts, const std::string& data) {
  harness::server sink(harness::server::sink);
  uint16_t port = harness::free_port();
  opts.push_back("-1");
  auto p = e2e::relay(port, sink.port, opts);
  {
    e2e::client c(port);
    EXPECT_TRUE(harness::send_all(c.fd, data.data(), data.size()));
    for (int i = 0; i < 300 && sink.bytes() < data.size(); i++) usleep(10000);
  }
  EXPECT_EQ(p.wait_exit(), 0) << p.out;
  return p.out;
}

// 100 bytes: the letters A to P over and over.
std::string letters(size_t n) {
  std::string s;
  for (size_t i = 0; i < n; i++) s += char('A' + i % 16);
  return s;
}

const std::string kLine =
    " 41424344 45464748 494A4B4C 4D4E4F50 *...........<(+|&* *ABCDEFGHIJKLMNOP*\n";

TEST(Log, TraceCutAtItsLength) {
  std::string out = one_connection({"-t=16"}, letters(100));
  EXPECT_NE(out.find("1: ---------- From client: 100 bytes:\n0000:" + kLine + "0010: ...\n"),
            std::string::npos)
      << out;
}

TEST(Log, TraceOfAWholeRead) {
  std::string out = one_connection({"-t"}, letters(100));
  std::string want = "1: ---------- From client: 100 bytes:\n";
  for (const char* off : {"0000:", "0010:", "0020:", "0030:", "0040:", "0050:"}) want += off + kLine;
  want += "0060: 41424344 *....* *ABCD*\n1: ** Socket EOF on conn 1\n";
  EXPECT_NE(out.find(want), std::string::npos) << out;
  EXPECT_EQ(out.find(": ..."), std::string::npos);
  EXPECT_EQ(out.find("From server"), std::string::npos);
}

TEST(Log, ByteCountsAtLevelTwo) {
  std::string out = one_connection({"-d=2"}, "hello");
  EXPECT_NE(out.find("===== select() selrc=1\n"), std::string::npos);
  EXPECT_NE(out.find("1: recv(): 5 bytes read from conn 1, at displ 0 in buf.\n"), std::string::npos)
      << out;
  EXPECT_NE(out.find("1: send(): 5 bytes written to conn 2, at displ 0 in buf.\n"),
            std::string::npos);
  EXPECT_EQ(out.find("Handling oper"), std::string::npos);
  EXPECT_EQ(out.find(">>> Loop"), std::string::npos);
  EXPECT_EQ(out.find("selrc=0"), std::string::npos);
}

TEST(Log, BookkeepingAtLevelThree) {
  std::string out = one_connection({"-d=3"}, "hello");
  for (const char* want : {
           // The listening entry is gone by then: accept-one mode.
           "socn3 closed\n",
           "addsrvent() updated numsrvent to 1\naddsrvent() updated numsoctbl to 2\n"
           "addsrvent() added Socket Table entries 0 1\n",
           "1: Handling oper RD conn 1 action=1 rneed=0 rdone=0\n"
           "   Doing recv(), max len = 8192\n"
           "1: recv(): 5 bytes read from conn 1, at displ 0 in buf.\n",
           "1: Handling oper WR conn 2 action=1 wlen=5 wdone=0\n"
           "1: send(): 5 bytes written to conn 2, at displ 0 in buf.\n",
           "1: ** Socket EOF on conn 1\n"
           "freesrvent() updated numsoctbl to 0\nfreesrvent() updated numsrvent to 0\n"
           "1: Connection closed ",
       })
    EXPECT_NE(out.find(want), std::string::npos) << want << "\n----\n" << out;
  EXPECT_EQ(out.find(">>> Loop"), std::string::npos);
}

TEST(Log, EveryEntryEveryPassAtLevelFive) {
  std::string out = one_connection({"-d=5"}, "hello");
  EXPECT_NE(out.find(">>> Loop: i=0 oper=4 i1=0 enti=0 stype=1 conn 0  inactive 0 secs\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find(">>> Loop: i=1 oper=8 i1=1 enti=0 stype=0 conn 2  inactive 0 secs\n"),
            std::string::npos);
  EXPECT_NE(out.find(">>> Loop: i=0 oper=1 i1=1 enti=0 stype=0 conn 1  inactive 0 secs\n"),
            std::string::npos);
}

}  // namespace
