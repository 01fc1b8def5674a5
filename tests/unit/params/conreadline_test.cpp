// conreadline and the console keys: editing and echo with keys from a pipe,
// then the same through a pseudo-terminal, where the terminal's own mode,
// escape sequences and signals come into play.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "params/prompts.h"
#include "platform/console.h"

namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;

// Keys from a pipe, console text into a pipe; no terminal involved.
class ConreadlinePipe : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(pipe(in), 0);
    ASSERT_EQ(pipe(out), 0);
    fcntl(out[0], F_SETFL, O_NONBLOCK);
    con_use(in[0], out[1]);
  }
  void TearDown() override {
    con_use(-1, -1);
    for (int fd : {in[0], in[1], out[0], out[1]})
      if (fd >= 0) close(fd);
  }
  void keys(const std::string& k) {
    ASSERT_EQ(write(in[1], k.data(), k.size()), ssize_t(k.size()));
    close(in[1]);
    in[1] = -1;
  }
  // One line read: its text, and what was shown while reading it.
  std::string line(uint32_t echomode, uint32_t size = CONLINESIZE) {
    char buf[CONLINESIZE + 1];
    memset(buf, 'Z', sizeof buf);
    rc = conreadline(buf, size, echomode);
    return buf;
  }
  std::string shown() {
    std::string s;
    char buf[4096];
    ssize_t n;
    while ((n = read(out[0], buf, sizeof buf)) > 0) s.append(buf, size_t(n));
    return s;
  }
  int in[2] = {-1, -1}, out[2] = {-1, -1};
  int rc = 0;
};

TEST_F(ConreadlinePipe, KeyCodesDroppedIgnoredAndKept) {
  keys("a\0;b\xe0Hc\t\x01\x1f\xe9\xff d\r"s +
       "x\x1b[Ay\x1b[15~z\x1bOPw\x1b\x1b[Bv\r" + "e\x1b[1\rf\r");
  EXPECT_EQ(line(ECHO_CHAR), "abc\xe9\xff d") << "0 and 224 pairs dropped, controls ignored";
  EXPECT_EQ(shown(), "abc\xe9\xff d\n");
  EXPECT_EQ(line(ECHO_CHAR), "xyzwv") << "cursor and function key sequences dropped";
  EXPECT_EQ(shown(), "xyzwv\n");
  EXPECT_EQ(line(ECHO_CHAR), "e") << "Enter inside a broken sequence still ends the line";
  EXPECT_EQ(line(ECHO_CHAR), "f");
}

TEST_F(ConreadlinePipe, LineEndsAndSizeLimit) {
  keys("a\r\nb\nc\n\rabcdefg\r");
  EXPECT_EQ(line(ECHO_NONE), "a");
  EXPECT_EQ(line(ECHO_NONE), "b") << "CR LF is one Enter";
  EXPECT_EQ(line(ECHO_NONE), "c");
  EXPECT_EQ(line(ECHO_NONE), "") << "LF CR are two";
  EXPECT_EQ(line(ECHO_CHAR, 5), "abcd") << "size - 1 characters end the line at once";
  EXPECT_EQ(shown(), "\n\n\n\nabcd\n");
  EXPECT_EQ(line(ECHO_CHAR), "efg");
}

TEST_F(ConreadlinePipe, EndOfInput) {
  // A last line without Enter counts; the end shows at the next line.
  keys("ab\x1b[");
  EXPECT_EQ(line(ECHO_CHAR), "ab") << "a line cut short by the end counts";
  EXPECT_EQ(rc, 2);
  EXPECT_EQ(line(ECHO_CHAR), "");
  EXPECT_EQ(rc, CONREAD_EOF);
  EXPECT_EQ(line(ECHO_CHAR), "");
  EXPECT_EQ(rc, CONREAD_EOF) << "and stays ended";
  EXPECT_EQ(shown(), "ab\n\n\n");
}

// A pseudo-terminal: the console reads and writes the slave side, the test
// types on the master side and reads what the terminal shows.
class ConreadlinePty : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    ASSERT_EQ(tcgetattr(slave, &orig), 0);
    con_use(slave, slave);
  }
  void TearDown() override {
    con_use(-1, -1);
    if (master >= 0) close(master);
    close(slave);
  }
  termios now() {
    termios t{};
    tcgetattr(slave, &t);
    return t;
  }
  // Wait until the console has put the terminal into key mode.
  bool keymode() {
    for (int i = 0; i < 400; i++) {
      if (!(now().c_lflag & ECHO)) return true;
      std::this_thread::sleep_for(5ms);
    }
    return false;
  }
  void type(const std::string& k) {
    ASSERT_EQ(write(master, k.data(), k.size()), ssize_t(k.size()));
  }
  // Everything the terminal shows until the line's closing "\r\n" (or 3 s).
  std::string shown() {
    std::string s;
    for (int i = 0; i < 30 && (s.size() < 2 || s.compare(s.size() - 2, 2, "\r\n") != 0); i++) {
      pollfd p{master, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      char buf[1024];
      ssize_t n = read(master, buf, sizeof buf);
      if (n > 0) s.append(buf, size_t(n));
    }
    return s;
  }
  // Read one line in a thread while typing the keys once the terminal is in key mode.
  std::string line(uint32_t echomode, const std::vector<std::string>& keys) {
    char buf[CONLINESIZE];
    std::atomic<bool> done{false};
    std::thread t([&] {
      rc = conreadline(buf, sizeof buf, echomode);
      done = true;
    });
    if (!keys.empty()) {   // with no keys the line is waiting already and read at once
      EXPECT_TRUE(keymode());
      EXPECT_TRUE(now().c_lflag & ISIG) << "Ctrl-C must still interrupt";
      EXPECT_FALSE(now().c_lflag & ICANON);
    }
    for (size_t i = 0; i < keys.size(); i++) {
      if (i > 0) std::this_thread::sleep_for(200ms);
      type(keys[i]);
    }
    for (int i = 0; i < 300 && !done; i++) std::this_thread::sleep_for(10ms);
    if (!done) {
      ADD_FAILURE() << "conreadline did not end";
      close(master);   // the hang-up ends the read
      master = -1;
    }
    t.join();
    return buf;
  }
  void expectrestored() {
    termios t = now();
    EXPECT_EQ(t.c_lflag, orig.c_lflag);
    EXPECT_EQ(t.c_iflag, orig.c_iflag);
    EXPECT_EQ(t.c_cc[VMIN], orig.c_cc[VMIN]);
    EXPECT_EQ(t.c_cc[VTIME], orig.c_cc[VTIME]);
  }

  int master = -1, slave = -1;
  termios orig{};
  int rc = 0;
};

TEST_F(ConreadlinePty, NameShownSecretNotAndTerminalRestored) {
  EXPECT_EQ(line(ECHO_CHAR, {"bob\r"}), "bob");
  EXPECT_EQ(shown(), "bob\r\n");
  expectrestored();
  EXPECT_EQ(line(ECHO_NONE, {"s3cret\r"}), "s3cret");
  EXPECT_EQ(shown(), "\r\n") << "neither we nor the terminal show the secret";
  expectrestored();
  EXPECT_EQ(line(ECHO_STAR, {"abc\x7f\r"}), "ab") << "DEL is the terminal's backspace";
  EXPECT_EQ(shown(), "***\b \b\r\n");
  EXPECT_EQ(line(ECHO_STAR | ECHO_CHAR, {"ab\b\r"}), "a");
  EXPECT_EQ(shown(), "**\b \b\r\n") << "with both bits the star wins";
  EXPECT_EQ(line(ECHO_CHAR, {"\x7f\x7f" "a\x7f\x7f\r"}), "");
  EXPECT_EQ(shown(), "a\b \b\r\n") << "backspace at an empty line writes nothing";
  EXPECT_EQ(line(ECHO_NONE, {"ab\x7f\r"}), "a");
  EXPECT_EQ(shown(), "\r\n") << "a secret's backspace shows nothing either";
  expectrestored();
}

TEST_F(ConreadlinePty, CursorKeysAddNothingLoneEscapeIsIgnored) {
  EXPECT_EQ(line(ECHO_CHAR, {"a\x1b[Ab\x1bOPc\x1b[15~\x1b[1;5D\r"}), "abc");
  EXPECT_EQ(shown(), "abc\r\n");
  // Escape pressed on its own, a moment later a letter: the letter counts.
  EXPECT_EQ(line(ECHO_CHAR, {"\x1b", "d\r"}), "d");
  EXPECT_EQ(shown(), "d\r\n");
}

TEST_F(ConreadlinePty, ThreeHundredKeysEndTheLineAfter299) {
  EXPECT_EQ(line(ECHO_CHAR, {std::string(300, 'x') + "\r"}), std::string(299, 'x'));
  EXPECT_EQ(rc, 299);
  EXPECT_EQ(shown(), std::string(299, 'x') + "\r\n");
  EXPECT_EQ(line(ECHO_CHAR, {}), "x") << "the rest waits for the next prompt";
  expectrestored();
}

TEST_F(ConreadlinePty, HangUpEndsTheInput) {
  char buf[CONLINESIZE];
  std::atomic<int> r{1};
  std::thread t([&] { r = conreadline(buf, sizeof buf, ECHO_NONE); });
  EXPECT_TRUE(keymode());
  close(master);
  master = -1;
  for (int i = 0; i < 300 && r == 1; i++) std::this_thread::sleep_for(10ms);
  EXPECT_NE(r.load(), 1) << "conreadline waits on a hung-up terminal";
  t.join();   // should it hang, the test runner's time limit ends it
  EXPECT_EQ(r.load(), CONREAD_EOF);
}

// In a child: enter key mode, then get a signal during the prompt.
TEST_F(ConreadlinePty, SignalDuringPromptRestoresTerminal) {
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    con_begin();
    raise(SIGTERM);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << "the signal still ends it";
  expectrestored();

  // Stopped (Ctrl-Z): terminal back while stopped, key mode again when continued.
  pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    setpgid(0, 0);   // a group with a parent in the session, so the stop is not discarded
    con_begin();
    raise(SIGTSTP);
    termios t{};
    tcgetattr(slave, &t);
    con_end();
    _exit(t.c_lflag & ECHO ? 1 : 0);
  }
  ASSERT_EQ(waitpid(pid, &status, WUNTRACED), pid);
  EXPECT_TRUE(WIFSTOPPED(status));
  expectrestored();
  kill(pid, SIGCONT);
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "key mode again after SIGCONT";
  expectrestored();
}

int hits = 0;
void counthit(int) { hits++; }

TEST_F(ConreadlinePty, EarlierSignalHandlersAreKeptAndRestored) {
  hits = 0;
  struct sigaction mine {}, oldint {}, oldhup {}, seen {};
  mine.sa_handler = counthit;
  sigemptyset(&mine.sa_mask);
  sigaction(SIGINT, &mine, &oldint);
  signal(SIGHUP, SIG_IGN);
  sigaction(SIGHUP, nullptr, &oldhup);

  con_begin();
  sigaction(SIGHUP, nullptr, &seen);
  EXPECT_EQ(seen.sa_handler, SIG_IGN) << "an ignored hang-up stays ignored";
  raise(SIGHUP);
  raise(SIGINT);
  EXPECT_EQ(hits, 1) << "the earlier handler still runs";
  EXPECT_FALSE(now().c_lflag & ECHO) << "and the prompt goes on in key mode";
  con_end();

  sigaction(SIGINT, nullptr, &seen);
  EXPECT_EQ(seen.sa_handler, counthit);
  expectrestored();
  sigaction(SIGINT, &oldint, nullptr);
  sigaction(SIGHUP, &oldhup, nullptr);
  signal(SIGHUP, SIG_DFL);
}

}  // namespace
