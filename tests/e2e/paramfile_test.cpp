// The relay with a parameter file: the IP address filter on real
// connections, an unopenable file, and the record options checked at start-up.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "support/harness.h"

namespace {

// A parameter file in a fresh temporary folder, removed with it.
class parfile {
 public:
  explicit parfile(const std::string& text) {
    std::string tmpl = (std::filesystem::temp_directory_path() / "kevra-e2e-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
    dir = tmpl;
    path = dir + "/kevra.par";
    std::ofstream(path, std::ios::binary) << text;
  }
  ~parfile() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  std::string dir, path;
};

// relay(file, extra, port, srvport): start the relay on port toward the loopback
// server srvport with -f=file and the extra options, and wait until it listens.
harness::proc relay(const std::string& file, std::vector<std::string> extra, uint16_t port, uint16_t srvport) {
  std::vector<std::string> args = {"-f=" + file};
  args.insert(args.end(), extra.begin(), extra.end());
  args.insert(args.end(), {std::to_string(port), "127.0.0.1", std::to_string(srvport)});
  harness::proc p = harness::spawn_kevra(args);
  EXPECT_TRUE(p.wait_for("Listening for connections on port " + std::to_string(port))) << p.out;
  return p;
}

// echoes(port): a client through the relay gets its bytes back.
bool echoes(uint16_t port) {
  int fd = harness::connect_to(port);
  if (fd < 0) return false;
  std::string data = harness::random_bytes(3000, 7), back(data.size(), '\0');
  bool ok = harness::send_all(fd, data.data(), data.size()) && harness::recv_exact(fd, back.data(), back.size()) &&
            back == data;
  close(fd);
  return ok;
}

}  // namespace

TEST(ParamFileE2E, FilterRefusesAndAllowsClients) {
  harness::server echo(harness::server::echo);

  // FILTER DENY 127: a loopback client is closed at once, the server never sees it.
  parfile deny("FILTER DENY 127\n");
  uint16_t port = harness::free_port();
  harness::proc p = relay(deny.path, {}, port, echo.port);
  int fd = harness::connect_to(port);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(harness::wait_closed(fd));
  close(fd);
  EXPECT_TRUE(p.wait_for("  Connection refused by IP address filter.\n")) << p.out;
  EXPECT_EQ(echo.accepted(), 0u);
  EXPECT_TRUE(p.running());   // one refused client does not end an ordinary relay
  p.stop();

  // An exception carved out before FILTER DENY ALL lets the client through.
  parfile allow("FILTER ALLOW 127.0\nFILTER DENY ALL\n");
  port = harness::free_port();
  p = relay(allow.path, {}, port, echo.port);
  EXPECT_TRUE(echoes(port));
  EXPECT_EQ(p.out.find("refused by IP address filter"), std::string::npos) << p.out;
  p.stop();
}

TEST(ParamFileE2E, AcceptOneModeEndsWithCode15WhenTheClientIsRefused) {
  harness::server echo(harness::server::echo);
  parfile deny("filter deny 127.0.0.1\n");
  uint16_t port = harness::free_port();
  harness::proc p = relay(deny.path, {"-1"}, port, echo.port);
  int fd = harness::connect_to(port);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(p.wait_exit(5000), 15) << p.out;
  EXPECT_NE(p.out.find("  Connection refused by IP address filter.\n"), std::string::npos) << p.out;
  close(fd);
}

TEST(ParamFileE2E, UnopenableFileLeavesTheDefaults) {
  harness::server echo(harness::server::echo);
  parfile none("");
  std::string missing = none.dir + "/missing.par";
  uint16_t port = harness::free_port();
  harness::proc p = relay(missing, {}, port, echo.port);
  EXPECT_NE(p.out.find("** Error opening parameter file " + missing + "\n"), std::string::npos) << p.out;
  EXPECT_TRUE(echoes(port));
  p.stop();
}

TEST(ParamFileE2E, RecordOptionsAreCheckedAgainstTheBufferSize) {
  const std::string user = "TUNNEL SERVERSIDE USERNAME bob SECRET x\n";
  uint16_t port = harness::free_port();
  struct {
    std::string text;
    const char* message;
  } cases[] = {
      {"TUNNEL OPTIONS MSGLENMULT 600\n", "** Error: msglenmult option is too big relative to buffer size\n"},
      {"TUNNEL OPTIONS MINMSGLEN 600 MSGLENMULT 256\n", "** Error: minmsglen option is too big relative to buffer size\n"},
  };
  for (const auto& c : cases) {
    parfile f(c.text + user);
    harness::proc p = harness::spawn_kevra({"-f=" + f.path, "-buf=512", std::to_string(port), "127.0.0.1", "9"});
    EXPECT_EQ(p.wait_exit(5000), 18) << p.out;
    EXPECT_NE(p.out.find(c.message), std::string::npos) << p.out;
    EXPECT_EQ(p.out.find("Listening for connections"), std::string::npos) << p.out;
  }

  // 100 becomes 112, said at -d only; 512 fits a 512-byte buffer.
  harness::server echo(harness::server::echo);
  parfile round("TUNNEL OPTIONS MSGLENMULT 100\n" + user);
  harness::proc p = relay(round.path, {"-d"}, port, echo.port);
  EXPECT_NE(p.out.find("msglenmult option rounded up to 112\n"), std::string::npos) << p.out;
  p.stop();
  port = harness::free_port();
  p = relay(round.path, {}, port, echo.port);
  EXPECT_EQ(p.out.find("rounded up"), std::string::npos) << p.out;
  p.stop();
  parfile fits("TUNNEL OPTIONS MSGLENMULT 512\n" + user);
  port = harness::free_port();
  p = relay(fits.path, {"-buf=512"}, port, echo.port);
  EXPECT_TRUE(p.running()) << p.out;
  p.stop();
}
