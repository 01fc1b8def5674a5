// The command-line scan and the two text parsers behind it.
#include "core/cmdline.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

const char* const kVersion =
    "kevra, version 1.1 of 04aug2006\nCopyright (c) 2006-2026 the kevra developers\n";

struct parsed {
  uint32_t rc;
  cmdopts o;
  std::string out;
  std::shared_ptr<std::vector<std::string>> args;   // the texts o points into
};

// Run parsecmd over the arguments (the program name is added) and collect its output.
parsed parse(std::vector<std::string> list) {
  parsed p{};
  p.args = std::make_shared<std::vector<std::string>>(std::move(list));
  auto& args = *p.args;
  args.insert(args.begin(), "kevra");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  fflush(stdout);
  testing::internal::CaptureStdout();
  p.rc = parsecmd(int(args.size()), argv.data(), &p.o);
  fflush(stdout);
  p.out = testing::internal::GetCapturedStdout();
  return p;
}

int dec(const char* s) { return decnum(s, uint32_t(strlen(s))); }

TEST(Decnum, DigitsBlanksAndLength) {
  EXPECT_EQ(dec("0"), 0);
  EXPECT_EQ(dec("80"), 80);
  EXPECT_EQ(dec("  80"), 80);
  EXPECT_EQ(dec("999999999"), 999999999);
  EXPECT_EQ(dec("000000007"), 7);
  EXPECT_EQ(decnum("12x", 2), 12);   // only len characters count
  EXPECT_EQ(dec(" "), -1);
  EXPECT_EQ(dec("         "), -1);
  EXPECT_EQ(dec(""), -2);
  EXPECT_EQ(dec("1234567890"), -2);
  EXPECT_EQ(dec("80 "), -2);
  EXPECT_EQ(dec("12a"), -2);
  EXPECT_EQ(dec("a12"), -2);
  EXPECT_EQ(dec("-1"), -2);
  EXPECT_EQ(dec("+1"), -2);
  EXPECT_EQ(dec("1 2"), -2);
}

uint32_t addrof(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  uint8_t o[4] = {a, b, c, d};
  uint32_t v;
  memcpy(&v, o, 4);
  return v;
}

TEST(Resolve, DottedAddresses) {
  uint32_t addr = 1;
  EXPECT_EQ(resolve("192.168.1.2", &addr), 0);
  EXPECT_EQ(addr, addrof(192, 168, 1, 2));   // first part first in memory
  EXPECT_EQ(resolve("0.0.0.0", &addr), 0);
  EXPECT_EQ(addr, 0u);
  EXPECT_EQ(resolve("00.000.0.255", &addr), 0);
  EXPECT_EQ(addr, addrof(0, 0, 0, 255));
  EXPECT_EQ(resolve("127.0.0.1", &addr), 0);
  EXPECT_EQ(addr, addrof(127, 0, 0, 1));
}

TEST(Resolve, BadTextsGiveMinusTwoAndZero) {
  for (const char* t : {"", " 1.2.3.4", "1.2.3", "1.2.3.4.5", "1.2.03.4", "01.2.3.4", "256.1.1.1",
                        "1..2.3", ".1.2.3", "1.2.3.4.", "1234.1.1.1", "1.2.3.", "...."}) {
    uint32_t addr = 0xFFFFFFFF;
    EXPECT_EQ(resolve(t, &addr), -2) << "text |" << t << "|";
    EXPECT_EQ(addr, 0u) << "text |" << t << "|";
  }
}

TEST(Resolve, HostNames) {
  uint32_t addr = 0;
  ASSERT_EQ(resolve("localhost", &addr), 0);
  EXPECT_EQ(addr, addrof(127, 0, 0, 1));
  // A letter makes the text a host name; without a name service the lookup
  // may also fail for another reason than "not found".
  for (const char* t : {"1.2.3.4x", "no-such-host.invalid"}) {
    addr = 0xFFFFFFFF;
    int rc = resolve(t, &addr);
    EXPECT_TRUE(rc == -1 || rc == -3) << t << " rc=" << rc;
    EXPECT_EQ(addr, 0u);
  }
}

TEST(Parsecmd, PlainCommand) {
  parsed p = parse({"80", "host", "23"});
  EXPECT_EQ(p.rc, 0u);
  EXPECT_EQ(p.out, "");
  EXPECT_EQ(p.o.listenport, 80u);
  EXPECT_STREQ(p.o.connsite, "host");
  EXPECT_EQ(p.o.connport, 23u);
  EXPECT_EQ(p.o.bufsize, 8192u);
  EXPECT_EQ(p.o.tracelen, 512u);
  EXPECT_EQ(p.o.trace, 0u);
  EXPECT_EQ(p.o.dbglevel, 0u);
  EXPECT_EQ(p.o.bindaddr, nullptr);
  EXPECT_EQ(p.o.paramfile, nullptr);
}

TEST(Parsecmd, OptionsMixWithPositionalsAndLaterOnesWin) {
  parsed p = parse({"-b=a", "2001", "-1", "site", "-f=x.txt", "-b=localhost", "23", "-d=3", "-d"});
  EXPECT_EQ(p.rc, 0u);
  EXPECT_EQ(p.o.listenport, 2001u);
  EXPECT_STREQ(p.o.connsite, "site");
  EXPECT_EQ(p.o.connport, 23u);
  EXPECT_STREQ(p.o.bindaddr, "localhost");
  EXPECT_STREQ(p.o.paramfile, "x.txt");
  EXPECT_EQ(p.o.acceptone, 1u);
  EXPECT_EQ(p.o.dbglevel, 1u);
  EXPECT_EQ(p.out, kVersion);   // a debug level asks for the version lines
}

TEST(Parsecmd, BufferSize) {
  EXPECT_EQ(parse({"-buf=100", "1", "h", "2"}).o.bufsize, 512u);
  EXPECT_EQ(parse({"-buf=0", "1", "h", "2"}).o.bufsize, 512u);
  EXPECT_EQ(parse({"-buf=511", "1", "h", "2"}).o.bufsize, 512u);
  EXPECT_EQ(parse({"-buf=513", "1", "h", "2"}).o.bufsize, 513u);
  parsed p = parse({"-buf=200000", "1", "h", "2"});
  EXPECT_EQ(p.rc, 0u);
  EXPECT_EQ(p.o.bufsize, 200000u);
  for (const char* v : {"200001", "1234567890", "12k", " "}) {
    p = parse({std::string("-buf=") + v, "1", "h", "2"});
    EXPECT_EQ(p.rc, 1u) << v;
    EXPECT_EQ(p.out, std::string("** Invalid buf size option value: ") + v + "\n");
  }
}

TEST(Parsecmd, TraceAndDebug) {
  parsed p = parse({"-t", "-t=0", "1", "h", "2"});
  EXPECT_EQ(p.o.trace, 0u);
  p = parse({"-t=64", "-t", "1", "h", "2"});
  EXPECT_EQ(p.o.trace, 1u);
  EXPECT_EQ(p.o.tracelen, 64u);
  p = parse({"-t", "1", "h", "2"});
  EXPECT_EQ(p.o.trace, 1u);
  EXPECT_EQ(p.o.tracelen, 512u);
  p = parse({"-t=x", "1", "h", "2"});
  EXPECT_EQ(p.rc, 1u);
  EXPECT_EQ(p.out, "** Invalid trace option value: x\n");

  p = parse({"-d=0", "1", "h", "2"});
  EXPECT_EQ(p.rc, 0u);
  EXPECT_EQ(p.o.dbglevel, 0u);
  EXPECT_EQ(p.out, "");
  p = parse({"-d=5", "1", "h", "2"});
  EXPECT_EQ(p.o.dbglevel, 5u);
  p = parse({"-d=-1", "1", "h", "2"});
  EXPECT_EQ(p.rc, 1u);
  EXPECT_EQ(p.out, "** Invalid debug option level: -1\n");
}

TEST(Parsecmd, InvalidOptions) {
  for (const char* a : {"-d=", "-b=", "-f=", "-t=", "-buf=", "-x", "-1x", "-", "-V", "-dd"}) {
    parsed p = parse({a, "1", "h", "2"});
    EXPECT_EQ(p.rc, 1u) << a;
    EXPECT_EQ(p.out, std::string("** Invalid option: ") + a + "\n");
  }
}

TEST(Parsecmd, Ports) {
  for (const char* port : {"0", "65536", " ", "12a", "80 ", "", "1234567890"}) {
    parsed p = parse({port, "h", "2"});
    EXPECT_EQ(p.rc, 1u) << "|" << port << "|";
    EXPECT_EQ(p.out, std::string("** Invalid port number: ") + port + "\n");
    p = parse({"1", "h", port});
    EXPECT_EQ(p.rc, 1u) << "|" << port << "|";
  }
  parsed p = parse({" 80", "h", "65535"});
  EXPECT_EQ(p.rc, 0u);
  EXPECT_EQ(p.o.listenport, 80u);
  EXPECT_EQ(p.o.connport, 65535u);
}

TEST(Parsecmd, MissingAndTooMany) {
  parsed p = parse({});
  EXPECT_EQ(p.rc, 1u);
  EXPECT_EQ(p.out, "** Missing parameter(s) on command\n");
  p = parse({"80", "host"});
  EXPECT_EQ(p.rc, 1u);
  EXPECT_EQ(p.out, "** Missing parameter(s) on command\n");
  p = parse({"-w"});
  EXPECT_EQ(p.rc, 1u);
  EXPECT_EQ(p.out, "** Missing parameter(s) on command\n");
  // A fourth positional ends the scan: the bad option after it goes unseen.
  p = parse({"80", "host", "23", "extra", "-zzz", "99999"});
  EXPECT_EQ(p.rc, 1u);
  EXPECT_EQ(p.out, "** Too many parameters on command\n");
  // Complaints come in argument order, the version lines after the scan.
  p = parse({"-x", "0", "-v", "host"});
  EXPECT_EQ(p.out, std::string("** Invalid option: -x\n** Invalid port number: 0\n") + kVersion +
                       "** Missing parameter(s) on command\n");
}

TEST(Parsecmd, WebModeNeedsOnlyTheListenPort) {
  parsed p = parse({"-w", "8000"});
  EXPECT_EQ(p.rc, 0u);
  EXPECT_EQ(p.o.web, 1u);
  EXPECT_EQ(p.o.listenport, 8000u);
  EXPECT_EQ(p.o.connsite, nullptr);
}

TEST(Parsecmd, VersionRequest) {
  parsed p = parse({"-v"});
  EXPECT_EQ(p.rc, 1u);
  EXPECT_EQ(p.out, std::string(kVersion) + "** Missing parameter(s) on command\n");
  p = parse({"-v", "80", "host", "23"});
  EXPECT_EQ(p.rc, 0u);
  EXPECT_EQ(p.out, kVersion);
}

}  // namespace
