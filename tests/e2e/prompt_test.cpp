// Names and secrets typed on the console, a pseudo-terminal here: asked once
// at start-up, or for every connection on either end of a tunnel.
#include <gtest/gtest.h>
#include <termios.h>

#include "support/harness.h"

namespace {

using namespace harness;

TEST(Prompt, AtStartupOnceNameShownSecretNot) {
  server srv(echo);
  uint16_t port = free_port();
  proc c =
      kevra(args({"-f=" + file("c", "tunnel clientside username ? secret ?\n")}, port, srv.port),
            "", true);
  ASSERT_TRUE(c.wait_for("\nEnter username for clientside authentication: ")) << c.out;
  c.type("bob\r");
  ASSERT_TRUE(c.wait_for("Enter secret for username bob (clientside): ")) << c.out;
  EXPECT_NE(c.out.find("authentication: bob\r\n"), std::string::npos) << "the name is shown";
  size_t asked = c.out.size();
  c.type("s3cret\r");
  ASSERT_TRUE(c.wait_for("Listening for connections on port " + std::to_string(port))) << c.out;
  EXPECT_EQ(c.out.find("s3cret", asked), std::string::npos) << "the secret is not shown";
  // Nothing more is asked, and the terminal echoes again.
  c.type("after\r");
  EXPECT_TRUE(c.wait_for("after\r\n")) << c.out;
  EXPECT_EQ(c.out.find("Enter", asked), std::string::npos);
}

// Interrupted while a secret is typed, the relay ends by the signal and its
// terminal echoes and reads whole lines again.
TEST(Prompt, InterruptAtTheSecretPromptEndsItTerminalRestored) {
  proc c =
      kevra(args({"-f=" + file("c", "tunnel clientside username bob secret ?\n")}, free_port(), 9),
            "", true);
  ASSERT_TRUE(c.wait_for("Enter secret for username bob (clientside): ")) << c.out;
  c.type("hal");
  ::kill(c.pid, SIGINT);
  for (int64_t deadline = now_ms() + 5000; c.running() && left(deadline) > 0;) usleep(1000);
  termios t{};
  EXPECT_EQ(c.code, 128 + SIGINT) << c.out;
  ASSERT_EQ(tcgetattr(c.fd, &t), 0);
  EXPECT_TRUE(t.c_lflag & ECHO) << "no echo";
  EXPECT_TRUE(t.c_lflag & ICANON) << "no whole lines";
}

TEST(Prompt, ForEveryConnectionOnBothEnds) {
  server srv(echo);
  uint16_t sport = free_port(), cport = free_port();
  proc s = relay(
      args({"-f=" + file("s", "tunnel serverside username bob secret ??\n")}, sport, srv.port), "",
      true);
  proc c =
      relay(args({"-f=" + file("c", "tunnel clientside username ?? secret ??\n")}, cport, sport),
            "", true);
  EXPECT_EQ(s.count("Enter") + c.count("Enter"), 0u) << "nothing is asked at start-up";
  for (const char* name : {"bob", "bob", "carol"}) {
    // each connection's prompts are new text
    s.out.clear();
    c.out.clear();
    client a(cport);
    ASSERT_TRUE(c.wait_for("Enter username for clientside authentication: ")) << c.out;
    c.type(std::string(name) + "\r");
    ASSERT_TRUE(c.wait_for("Enter secret for username " + std::string(name) + " (clientside): "))
        << c.out;
    c.type("pw\r");
    if (name[0] == 'c') {   // carol is nobody on the serverside: refused without a prompt
      EXPECT_TRUE(s.wait_for("** Error: Authentication failed, unknown username: carol\r\n", 10000))
          << s.out;
      EXPECT_TRUE(wait_closed(a.fd)) << "carol's connection stays open";
      EXPECT_EQ(s.out.find("Enter secret"), std::string::npos) << s.out;
      break;
    }
    ASSERT_TRUE(s.wait_for("Enter secret for username bob (serverside): ", 10000)) << s.out;
    s.type("pw\r");
    EXPECT_TRUE(echo_ok(a.fd, "hello", 15000));
    EXPECT_EQ(c.out.find("pw"), std::string::npos);
  }
}

}   // namespace
