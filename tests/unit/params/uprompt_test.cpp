// uprompt and promptent with keys from a pipe: what is asked, in which
// order, what is stored, the lookup by name, and the end of console input.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "params/prompts.h"
#include "params/uprompt.h"
#include "platform/console.h"

namespace {

// A user entry as the parameter file reader leaves it.
userent user(const std::string& name, const std::string& secret, uint8_t utype = UT_PRESENT,
             uint8_t pwtype = UT_PRESENT) {
  userent u{};
  u.utype = utype;
  u.pwtype = pwtype;
  memset(u.uname, ' ', UNAMELEN);
  if (utype == UT_PRESENT) {
    memcpy(u.uname, name.data(), name.size());
    u.ulen = uint8_t(name.size());
  }
  if (pwtype == UT_PRESENT) {
    memcpy(u.secret, secret.data(), secret.size());
    u.pwlen = uint8_t(secret.size());
  }
  return u;
}

// The 80 name bytes the handshake hands over: the name, then blanks.
void setname(userent* u, const std::string& name) {
  memset(u->uname, ' ', UNAMELEN);
  memcpy(u->uname, name.data(), name.size());
}

std::string name(const userent& u) { return std::string((const char*)u.uname, UNAMELEN); }
std::string secret(const userent& u) { return std::string((const char*)u.secret, SECRETLEN); }
std::string padname(const std::string& n) { return n + std::string(UNAMELEN - n.size(), ' '); }
std::string padsecret(const std::string& s) { return s + std::string(SECRETLEN - s.size(), '\0'); }

class Uprompt : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(pipe(in), 0);
    ASSERT_EQ(pipe(out), 0);
    fcntl(out[0], F_SETFL, O_NONBLOCK);
    con_use(in[0], out[1]);
    p = std::make_unique<paramrec>();
    p->encrtype = ENCR_RC4;
    p->ctxsize = CTXSIZE_RC4;
    p->msglenmult = 256;
    ctx.paramrec = p.get();
  }
  void TearDown() override {
    con_use(-1, -1);
    for (int fd : {in[0], in[1], out[0], out[1]})
      if (fd >= 0) close(fd);
  }
  // The operator's keys, then the end of the input.
  void keys(const std::string& k) {
    ASSERT_EQ(write(in[1], k.data(), k.size()), ssize_t(k.size()));
    close(in[1]);
    in[1] = -1;
  }
  // Everything written to the console so far.
  std::string shown() {
    std::string s;
    char buf[4096];
    ssize_t n;
    while ((n = read(out[0], buf, sizeof buf)) > 0) s.append(buf, size_t(n));
    return s;
  }
  void addusers(std::initializer_list<userent> us) {
    p->serverside = 1;
    for (const userent& u : us) p->usertbl[p->numusers++] = u;
  }

  int in[2] = {-1, -1}, out[2] = {-1, -1};
  std::unique_ptr<paramrec> p;
  runctx ctx{};
};

TEST_F(Uprompt, StartupAsksClientsideNameShownThenSecretNotShown) {
  p->clientside = 1;
  p->cluser = user("", "", UT_ASKONCE, UT_ASKONCE);
  keys("bob\rs3cret\r");
  EXPECT_EQ(uprompt(1, &ctx, nullptr, 0), 0u);
  EXPECT_EQ(shown(),
            "\nEnter username for clientside authentication: bob\n"
            "\nEnter secret for username bob (clientside): \n");
  const userent& c = p->cluser;
  EXPECT_EQ(c.utype, UT_PRESENT);
  EXPECT_EQ(c.ulen, 3);
  EXPECT_EQ(name(c), padname("bob"));
  EXPECT_EQ(c.pwtype, UT_PRESENT);
  EXPECT_EQ(c.pwlen, 6);
  EXPECT_EQ(secret(c), padsecret("s3cret"));
  EXPECT_EQ(ctx.num2, 2u) << "one console line noted per line read";

  // Answered once: the next start-up call asks nothing and reads nothing.
  EXPECT_EQ(uprompt(1, &ctx, nullptr, 0), 0u);
  EXPECT_EQ(shown(), "");
}

TEST_F(Uprompt, StartupAsksOnlyOnceMarkedValuesInTableOrder) {
  p->clientside = 1;
  p->cluser = user("", "", UT_ASKCONN, UT_ASKONCE);   // name per connection, secret now
  addusers({user("alice", "", UT_PRESENT, UT_ASKONCE), user("bob", "", UT_PRESENT, UT_ASKCONN),
            user("carol", "", UT_PRESENT, UT_ASKONCE), user("dave", "d")});
  keys("cs\rA\rC\r");
  EXPECT_EQ(uprompt(1, &ctx, nullptr, 0), 0u);
  EXPECT_EQ(shown(),
            "\nEnter secret for clientside authentication: \n"
            "\nEnter secret for username alice (serverside): \n"
            "\nEnter secret for username carol (serverside): \n");
  EXPECT_EQ(p->cluser.utype, UT_ASKCONN);
  EXPECT_EQ(p->cluser.ulen, 0);
  EXPECT_EQ(secret(p->cluser), padsecret("cs"));
  EXPECT_EQ(secret(p->usertbl[0]), padsecret("A"));
  EXPECT_EQ(p->usertbl[1].pwtype, UT_ASKCONN) << "asked per connection, not now";
  EXPECT_EQ(secret(p->usertbl[2]), padsecret("C"));
  EXPECT_EQ(secret(p->usertbl[3]), padsecret("d"));
}

TEST_F(Uprompt, LengthsAreCheckedAndAskedAgain) {
  p->clientside = 1;
  p->cluser = user("", "", UT_ASKONCE, UT_ASKONCE);
  memset(p->cluser.secret, 0xAA, SECRETLEN);   // the empty secret must leave only zeros
  std::string n80(80, 'n'), s129(129, 's');
  keys("\r" + n80 + "n\r" + n80 + "\r" + s129 + "\r\r");
  EXPECT_EQ(uprompt(1, &ctx, nullptr, 0), 0u);
  EXPECT_EQ(shown(),
            "\nEnter username for clientside authentication: \n"
            "** Invalid length, must be 1 to 80. Try again.\n"
            "Enter username for clientside authentication: " + n80 + "n\n"
            "** Invalid length, must be 1 to 80. Try again.\n"
            "Enter username for clientside authentication: " + n80 + "\n"
            "\nEnter secret for username " + n80 + " (clientside): \n"
            "** Invalid length, must be 0 to 128. Try again.\n"
            "Enter secret for username " + n80 + " (clientside): \n");
  EXPECT_EQ(p->cluser.ulen, 80);
  EXPECT_EQ(name(p->cluser), n80);
  EXPECT_EQ(p->cluser.pwtype, UT_PRESENT);
  EXPECT_EQ(p->cluser.pwlen, 0);
  EXPECT_EQ(secret(p->cluser), padsecret("")) << "an empty line is a valid, empty secret";
  EXPECT_EQ(ctx.num2, 5u);
}

TEST_F(Uprompt, ConnectionPromptsFillOnlyTheWorkEntry) {
  p->clientside = 1;
  p->cluser = user("", "", UT_ASKCONN, UT_ASKCONN);
  addusers({user("bob", "", UT_PRESENT, UT_ASKCONN)});
  userent before = p->cluser;
  keys("carl\rpw\rtmp\r");
  userent work{};
  EXPECT_EQ(uprompt(2, &ctx, &work, 3), 0u);
  EXPECT_EQ(shown(),
            "\nEnter username for clientside authentication: carl\n"
            "\nEnter secret for username carl (clientside): \n");
  EXPECT_EQ(name(work), padname("carl"));
  EXPECT_EQ(secret(work), padsecret("pw"));
  EXPECT_EQ(work.utype | work.pwtype, 0);
  EXPECT_EQ(memcmp(&p->cluser, &before, sizeof before), 0) << "asked again at the next connection";

  setname(&work, "bob");
  EXPECT_EQ(uprompt(3, &ctx, &work, 2), 0u);
  EXPECT_EQ(shown(), "\nEnter secret for username bob (serverside): \n");
  EXPECT_EQ(secret(work), padsecret("tmp"));
  EXPECT_EQ(work.pwlen, 3);
  EXPECT_EQ(p->usertbl[0].pwtype, UT_ASKCONN);
  EXPECT_EQ(secret(p->usertbl[0]), padsecret(""));

  // A clientside user without "??" is copied and nothing is asked.
  p->cluser = user("bob", "fixed");
  EXPECT_EQ(uprompt(2, &ctx, &work, 3), 0u);
  EXPECT_EQ(memcmp(&work, &p->cluser, sizeof work), 0);
  EXPECT_EQ(shown(), "");
}

TEST_F(Uprompt, ServersideLookupComparesAllEightyBytesFirstMatchWins) {
  addusers({user("bobby", "b2"), user("bob", "first"), user("bob", "second")});
  userent work{};
  setname(&work, "bob");
  EXPECT_EQ(uprompt(3, &ctx, &work, 1), 0u);
  EXPECT_EQ(memcmp(&work, &p->usertbl[1], sizeof work), 0) << "the whole first entry is copied";

  // Names that a prefix, case-blind or terminator-stopped compare would accept.
  for (std::string n : {std::string("bo"), std::string("Bob"), std::string("bobb")}) {
    userent w{};
    setname(&w, n);
    EXPECT_EQ(uprompt(3, &ctx, &w, 7), UPROMPT_UNKNOWN) << n;
    EXPECT_EQ(shown(), "7: ** Error: Authentication failed, unknown username: " + n + "\n");
  }
  userent w{};
  setname(&w, "bob");
  w.uname[79] = 0;
  userent before = w;
  EXPECT_EQ(uprompt(3, &ctx, &w, 7), UPROMPT_UNKNOWN);
  EXPECT_EQ(memcmp(&w, &before, sizeof w), 0) << "nothing is changed";
  EXPECT_EQ(shown(),
            "7: ** Error: Authentication failed, unknown username: bob" + std::string(76, ' ') +
                ".\n");

  // A name from the network cannot put control sequences on the terminal.
  setname(&w, "ca\x1b]0;x\x07r\x7f\xe9l  z");
  EXPECT_EQ(uprompt(3, &ctx, &w, 12), UPROMPT_UNKNOWN);
  EXPECT_EQ(shown(), "12: ** Error: Authentication failed, unknown username: ca.]0;x.r..l  z\n");
}

TEST_F(Uprompt, WrongSideAndOtherModes) {
  userent work = user("bob", "x");
  userent before = work;
  EXPECT_EQ(uprompt(2, &ctx, &work, 4), UPROMPT_WRONGCLIENT);
  EXPECT_EQ(shown(), "4: ** Error: invalid call to uprompt(), wrong side\n");
  EXPECT_EQ(uprompt(3, &ctx, &work, 5), UPROMPT_WRONGSERVER);
  EXPECT_EQ(shown(), "5: ** Error: invalid call to uprompt(), wrong side\n");

  p->clientside = 1;
  p->cluser = user("", "", UT_ASKONCE, UT_ASKONCE);
  addusers({user("bob", "", UT_PRESENT, UT_ASKONCE)});
  for (uint32_t mode : {0u, 4u, 99u}) EXPECT_EQ(uprompt(mode, &ctx, &work, 6), 0u) << mode;
  EXPECT_EQ(shown(), "");
  EXPECT_EQ(memcmp(&work, &before, sizeof work), 0);
}

TEST_F(Uprompt, EndOfConsoleInputIsReportedNotWaitedFor) {
  p->clientside = 1;
  p->cluser = user("", "", UT_ASKONCE, UT_ASKONCE);
  addusers({user("bob", "", UT_PRESENT, UT_ASKONCE)});
  keys("");
  EXPECT_EQ(uprompt(1, &ctx, nullptr, 0), UPROMPT_NOINPUT);
  EXPECT_EQ(shown(),
            "\nEnter username for clientside authentication: \n"
            "** Error: console input ended; no username or secret can be read.\n");
  EXPECT_EQ(ctx.num2, 0u) << "no line was read";
  EXPECT_EQ(p->usertbl[0].pwtype, UT_ASKONCE) << "nothing more is asked";

  // Standard input from /dev/null at a serverside connection.
  int null = open("/dev/null", O_RDONLY);
  ASSERT_GE(null, 0);
  con_use(null, out[1]);
  p->usertbl[0].pwtype = UT_ASKCONN;
  userent work{};
  setname(&work, "bob");
  EXPECT_EQ(uprompt(3, &ctx, &work, 6), UPROMPT_NOINPUT);
  EXPECT_EQ(shown(),
            "\nEnter secret for username bob (serverside): \n"
            "6: ** Error: console input ended; no username or secret can be read.\n");
  close(null);
}

}  // namespace
