// Start-up: the usage and version texts, and the exit codes of start-up.
#include <arpa/inet.h>
#include <netinet/in.h>

#include "e2e/relay_util.h"

namespace {

using harness::spawn_kevra;

const std::string kUsage =
    "Usage:  kevra options listenport connsite connport\n"
    "Options:\n"
    "  -1      Accept only 1 incoming connection.\n"
    "  -b=xxx  Bind: xxx is the IP address n.n.n.n or site name\n"
    "          of the TCP/IP interface on this machine on which\n"
    "          incoming connections are accepted. Can also be any\n"
    "          or 0.0.0.0 (means any), or localhost or 127.0.0.1\n"
    "          Default is -b=any\n"
    "  -buf=n  Buffer size for socket i/o. Default: -buf=8192\n"
    "          If n (number of bytes) is less than 512, 512 is used.\n"
    "          Maximum n is 200000.\n"
    "  -d or -d=n  Specifies the debugging level n. Higher n gives\n"
    "          more output. Default is 0 (no debug). -d implies 1.\n"
    "  -f=xxx  File: xxx is the name of a text file from which\n"
    "          parameter statements are read.\n"
    "  -t or -t=n  Trace: display socket data, first n bytes from\n"
    "          each socket read. Default n is 512. If tunnelling, it\n"
    "          is the decrypted data that is displayed.\n"
    "  -v      Version: display version and copyright info.\n"
    "  -w      Web: act as a relay for web traffic; the operands connsite and\n"
    "          connport are not used.\n"
    "For a detailed description, see file kevra.txt\n"
    "Example commands:\n"
    "  kevra -t -1 -b=localhost 2001 bbs.example.net 23\n"
    "  kevra 23 localhost 2001 -f=c:\\data\\kevraopt1.txt\n"
    "  kevra -w -f=c:\\data\\kevraopt2.txt 8000\n";

const std::string kVersion =
    "kevra, version 1.1 of 04aug2006\n"
    "Copyright (c) 2006-2026 the kevra developers\n";

TEST(Start, UsageAndVersionTexts) {
  auto p = spawn_kevra({});
  EXPECT_EQ(p.wait_exit(), 1);
  EXPECT_EQ(p.out, "kevra 1.1\n** Missing parameter(s) on command\n" + kUsage);

  p = spawn_kevra({"-v"});
  EXPECT_EQ(p.wait_exit(), 1);
  EXPECT_EQ(p.out, "kevra 1.1\n" + kVersion + "** Missing parameter(s) on command\n" + kUsage);

  // A debug level does not bring the termination line to a usage error.
  p = spawn_kevra({"-d", "-zz", "80", "h", "23"});
  EXPECT_EQ(p.wait_exit(), 1);
  EXPECT_EQ(p.out, "kevra 1.1\n** Invalid option: -zz\n" + kVersion + kUsage);
}

TEST(Start, ResolveFailuresEndWithTheirCodes) {
  auto p = spawn_kevra({"-d", "80", "1.2.3", "23"});
  EXPECT_EQ(p.wait_exit(), 3);
  EXPECT_NE(p.out.find("** Unable to resolve site, resolve() rc=-2: 1.2.3\n"
                       "kevra terminated with exit code 3\n"),
            std::string::npos)
      << p.out;

  p = spawn_kevra({"-b=1.2.03.4", "80", "127.0.0.1", "23"});
  EXPECT_EQ(p.wait_exit(), 12);
  EXPECT_EQ(p.out, "kevra 1.1\n** -b option: unable to resolve name, resolve() rc=-2: 1.2.03.4\n");
}

TEST(Start, PortInUseEndsWithFive) {
  // Hold a listening socket on the port.
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  socklen_t len = sizeof a;
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(fd, 1), 0);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  auto p = spawn_kevra({"-d", std::to_string(ntohs(a.sin_port)), "127.0.0.1", "23"});
  EXPECT_EQ(p.wait_exit(), 5);
  ::close(fd);
  EXPECT_NE(p.out.find("** bind() error 10048\n"
                       "   (WSAEADDRINUSE: addr in use, try a different listenport)\n"
                       "kevra terminated with exit code 5\n"),
            std::string::npos)
      << p.out;
}

TEST(Start, DebugStartupLinesInOrder) {
  uint16_t port = harness::free_port();
  auto p = e2e::start({"-d", "-b=127.0.0.1", "-buf=1000", std::to_string(port), "localhost", "23"});
  p.stop();
  const char* lines[] = {"kevra 1.1\n",
                         "kevra, version 1.1 of 04aug2006\n",
                         "Using Winsock 2.2\n",
                         "Using buffer size 1000\n",
                         "Max entries in Server Table: 40\n",
                         "Max entries in Socket Table: 90\n",
                         "FD_SETSIZE for select(): 128\n",
                         "IP addr for bind(): 127.0.0.1\n",
                         "Listening for connections on port "};
  size_t at = 0;
  for (const char* l : lines) {
    size_t found = p.out.find(l, at);
    ASSERT_NE(found, std::string::npos) << "missing or out of order: " << l << "\n" << p.out;
    at = found;
  }

  // "any" (and only in lower case) is every interface.
  port = harness::free_port();
  p = e2e::start({"-d", "-b=any", std::to_string(port), "localhost", "23"});
  EXPECT_NE(p.out.find("IP addr for bind(): 0.0.0.0\n"), std::string::npos) << p.out;
}

TEST(Start, WebModeClosesEveryClient) {
  uint16_t port = harness::free_port();
  auto p = e2e::start({"-w", std::to_string(port)});
  for (int i = 0; i < 2; i++) {
    e2e::client c(port);
    ASSERT_GE(c.fd, 0);
    EXPECT_TRUE(harness::wait_closed(c.fd, 3000));
  }
  EXPECT_TRUE(p.wait_for("Id number for this connection is 1\n"
                         "** -w not supported yet - connection closed.\n"));
  EXPECT_EQ(e2e::count(p.out, "** -w not supported yet - connection closed.\n"), 2u);
  EXPECT_TRUE(p.running());

  // Accepting only one: the next pass has nothing left to wait for.
  port = harness::free_port();
  p = e2e::start({"-w", "-1", std::to_string(port)});
  e2e::client c(port);
  ASSERT_GE(c.fd, 0);
  EXPECT_EQ(p.wait_exit(), 16);
  EXPECT_NE(p.out.find("** -w not supported yet - connection closed.\n"
                       "** All select() sets are empty. No work to do.\n"),
            std::string::npos)
      << p.out;
}

}  // namespace
