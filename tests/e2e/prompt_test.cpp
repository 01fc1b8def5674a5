// Console prompts of the real relay: names and secrets asked once at start-up
// or for every connection, typed on a pseudo-terminal, read from a file, or
// not available at all.
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "support/harness.h"

namespace {

using harness::proc;

// A parameter file that removes itself.
struct paramfile {
  explicit paramfile(const std::string& text) {
    char name[] = "/tmp/kevra_prompt_XXXXXX";
    int fd = mkstemp(name);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, text.data(), text.size()), ssize_t(text.size()));
    close(fd);
    path = name;
  }
  ~paramfile() { unlink(path.c_str()); }
  std::string path;
};

std::string str(uint16_t port) { return std::to_string(port); }

TEST(Prompt, StartupAsksOnceNameShownSecretNot) {
  paramfile f("tunnel clientside username ? secret ?\n");
  harness::server echo(harness::server::echo);
  uint16_t port = harness::free_port();
  proc c = harness::spawn_kevra({"-f=" + f.path, str(port), "127.0.0.1", str(echo.port)}, true);

  ASSERT_TRUE(c.wait_for("\nEnter username for clientside authentication: ")) << c.out;
  c.type("bob\r");
  ASSERT_TRUE(c.wait_for("Enter secret for username bob (clientside): ")) << c.out;
  EXPECT_NE(c.out.find("authentication: bob\r\n"), std::string::npos) << "the name is shown";
  size_t asked = c.out.size();
  c.type("s3cret\r");
  ASSERT_TRUE(c.wait_for("Listening for connections on port " + str(port))) << c.out;
  EXPECT_EQ(c.out.find("s3cret", asked), std::string::npos) << "the secret is not shown";

  // Nothing more is asked, and the terminal is itself again: it echoes what is typed.
  c.type("after\r");
  EXPECT_TRUE(c.wait_for("after\r\n")) << c.out;
  EXPECT_EQ(c.out.find("Enter", asked), std::string::npos);
  EXPECT_TRUE(c.running());
}

TEST(Prompt, StartupReadsAnswersFromANonTerminal) {
  paramfile f("tunnel clientside username ? secret ?\n");
  paramfile keys("bob\nsecret\n");
  harness::server echo(harness::server::echo);
  uint16_t port = harness::free_port();
  proc c = harness::spawn({"/bin/sh", "-c",
                           "exec '" + harness::kevra_path() + "' '-f=" + f.path + "' " + str(port) +
                               " 127.0.0.1 " + str(echo.port) + " < '" + keys.path + "'"});
  ASSERT_TRUE(c.wait_for("Listening for connections on port " + str(port))) << c.out;
  EXPECT_NE(c.out.find("authentication: bob\n\nEnter secret for username bob (clientside): \n"),
            std::string::npos)
      << c.out;
}

TEST(Prompt, StartupWithoutConsoleInputEnds) {
  paramfile f("tunnel clientside username ? secret ?\n");
  uint16_t port = harness::free_port();
  // Standard input is /dev/null here.
  proc c = harness::spawn_kevra({"-f=" + f.path, str(port), "127.0.0.1", "9"});
  EXPECT_EQ(c.wait_exit(5000), 20) << c.out;
  EXPECT_NE(c.out.find("\nEnter username for clientside authentication: \n"
                       "** Error: console input ended; no username or secret can be read.\n"),
            std::string::npos)
      << c.out;
  EXPECT_EQ(c.out.find("Listening"), std::string::npos);
}

TEST(Prompt, ClientsideAsksNameAndSecretForEveryConnection) {
  paramfile sf("tunnel serverside username bob secret pw\n");
  paramfile cf("tunnel clientside username ?? secret ??\n");
  harness::server echo(harness::server::echo);
  uint16_t sport = harness::free_port(), cport = harness::free_port();
  proc s = harness::spawn_kevra({"-f=" + sf.path, str(sport), "127.0.0.1", str(echo.port)});
  ASSERT_TRUE(s.wait_for("Listening for connections")) << s.out;
  proc c = harness::spawn_kevra({"-f=" + cf.path, str(cport), "127.0.0.1", str(sport)}, true);
  ASSERT_TRUE(c.wait_for("Listening for connections")) << c.out;
  EXPECT_EQ(c.out.find("Enter"), std::string::npos) << "nothing is asked at start-up";

  for (int conn = 0; conn < 2; conn++) {
    size_t from = c.out.size();
    int fd = harness::connect_to(cport);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(c.wait_for("Enter username for clientside authentication: ")) << c.out;
    EXPECT_NE(c.out.find("Enter username", from), std::string::npos) << "asked again";
    c.type("bob\r");
    ASSERT_TRUE(c.wait_for("Enter secret for username bob (clientside): ")) << c.out;
    size_t asked = c.out.size();
    c.type("pw\r");
    ASSERT_TRUE(c.wait_for("Authentication ok, secure tunnel established.", 15000)) << c.out;
    EXPECT_EQ(c.out.find("pw", asked), std::string::npos);
    std::string text = "hello " + std::to_string(conn), back(text.size(), '\0');
    EXPECT_TRUE(harness::send_all(fd, text.data(), text.size()));
    EXPECT_TRUE(harness::recv_exact(fd, back.data(), back.size(), 15000));
    EXPECT_EQ(back, text);
    close(fd);
    c.out.clear();   // the next connection's prompts are new text
  }
}

TEST(Prompt, ServersideAsksSecretWhenItsUserConnects) {
  paramfile sf("tunnel serverside username bob secret ??\n");
  paramfile bobf("tunnel clientside username bob secret pw\n");
  paramfile carolf("tunnel clientside username carol secret pw\n");
  harness::server echo(harness::server::echo);
  uint16_t sport = harness::free_port(), bport = harness::free_port(), cport = harness::free_port();
  proc s = harness::spawn_kevra({"-f=" + sf.path, str(sport), "127.0.0.1", str(echo.port)}, true);
  ASSERT_TRUE(s.wait_for("Listening for connections")) << s.out;
  EXPECT_EQ(s.out.find("Enter"), std::string::npos) << "nothing is asked at start-up";
  proc bob = harness::spawn_kevra({"-f=" + bobf.path, str(bport), "127.0.0.1", str(sport)});
  proc carol = harness::spawn_kevra({"-f=" + carolf.path, str(cport), "127.0.0.1", str(sport)});
  ASSERT_TRUE(bob.wait_for("Listening for connections")) << bob.out;
  ASSERT_TRUE(carol.wait_for("Listening for connections")) << carol.out;

  int fd = harness::connect_to(bport);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(s.wait_for("Enter secret for username bob (serverside): ", 10000)) << s.out;
  s.type("pw\r");
  ASSERT_TRUE(s.wait_for("Authentication ok, secure tunnel established.", 15000)) << s.out;
  std::string back(5, '\0');
  EXPECT_TRUE(harness::send_all(fd, "hello", 5));
  EXPECT_TRUE(harness::recv_exact(fd, back.data(), 5, 15000));
  EXPECT_EQ(back, "hello");
  close(fd);

  // carol is nobody here: refused without a prompt.
  s.out.clear();
  int fd2 = harness::connect_to(cport);
  ASSERT_GE(fd2, 0);
  EXPECT_TRUE(s.wait_for("** Error: Authentication failed, unknown username: carol\r\n", 10000))
      << s.out;
  EXPECT_EQ(s.out.find("Enter secret"), std::string::npos);
  close(fd2);

  // bob again: asked again.
  s.out.clear();
  int fd3 = harness::connect_to(bport);
  ASSERT_GE(fd3, 0);
  EXPECT_TRUE(s.wait_for("Enter secret for username bob (serverside): ", 10000)) << s.out;
  s.type("pw\r");
  EXPECT_TRUE(s.wait_for("Authentication ok", 15000)) << s.out;
  close(fd3);
}

}  // namespace
