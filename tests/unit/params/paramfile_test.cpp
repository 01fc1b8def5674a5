#include "params/paramfile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "paramtest.h"

using paramtest::readpath;
using paramtest::readtext;
using paramtest::secret;
using paramtest::uname;

namespace {

void expectdefaults(const paramrec& p) {
  EXPECT_EQ(p.clientside, 0u);
  EXPECT_EQ(p.serverside, 0u);
  EXPECT_EQ(p.encrtype, 2u);
  EXPECT_EQ(p.ctxsize, 290u);
  EXPECT_EQ(p.minmsglen, 0u);
  EXPECT_EQ(p.msglenmult, 256u);
  EXPECT_EQ(p.numusers, 0u);
  EXPECT_EQ(p.numfilt, 0u);
  EXPECT_EQ(p.cluser.ulen, 0u);
  EXPECT_EQ(p.usertbl[49].pwlen, 0u);
  EXPECT_EQ(p.filtaddr[499], 0u);
}

// count(text, what): how often what stands in text.
size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
  return n;
}

}  // namespace

TEST(ParamFile, DefaultsWithoutAFileOrWhenItCannotBeOpened) {
  auto r = readpath(nullptr, 0);
  expectdefaults(*r.prm);
  EXPECT_EQ(r.out, "");
  r = readpath(nullptr, 1);
  expectdefaults(*r.prm);
  EXPECT_EQ(r.out, "Max filter statements: 500\nMax serverside usernames: 50\n");

  paramtest::tmpdir dir;
  std::string missing = dir.path + "/none.par";
  r = readpath(missing.c_str(), 0);
  expectdefaults(*r.prm);
  EXPECT_EQ(r.out, "** Error opening parameter file " + missing + "\n");
  r = readpath(dir.path.c_str(), 0);   // a directory
  expectdefaults(*r.prm);
  EXPECT_EQ(r.out, "** Error opening parameter file " + dir.path + "\n");
}

TEST(ParamFile, LineEndsLongLinesAndZeroBytes) {
  // CR LF reads as LF, a CR inside a line is dropped, the last line needs no LF.
  auto r = readtext("TUNNEL OPTIONS MINMSGLEN 5\r\nTUNNEL OPT\rIONS ENCRTYPE DES3\r\nTUNNEL OPTIONS MSGLENMULT 32");
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.prm->minmsglen, 5u);
  EXPECT_EQ(r.prm->encrtype, 1u);
  EXPECT_EQ(r.prm->ctxsize, 2336u);
  EXPECT_EQ(r.prm->msglenmult, 32u);

  // An empty last line is not processed; an empty line before it is.
  const char* limits = "Max filter statements: 500\nMax serverside usernames: 50\n";
  EXPECT_EQ(readtext("LIST\n", 1).out, std::string(limits) + "Param: LIST\n");
  EXPECT_EQ(readtext("LIST\n\n", 1).out, std::string(limits) + "Param: LIST\nParam: \n");
  EXPECT_EQ(readtext("", 1).out, limits);
  // Trailing blanks go, tabs stay.
  EXPECT_EQ(readtext("LIST   \nLIST\t \n", 1).out, std::string(limits) + "Param: LIST\nParam: LIST\t\n");

  // A line keeps its first 800 characters: the keyword cut at 800 is no keyword.
  std::string head = "TUNNEL OPTIONS MINMSGLEN 5";
  std::string longline = head + std::string(791 - head.size(), ' ') + "MSGLENMULT 32 and more";
  r = readtext(longline + "\nTUNNEL OPTIONS ENCRTYPE DES3\n", 1);
  EXPECT_NE(r.out.find("Param: " + longline.substr(0, 800) + "\n"), std::string::npos);
  EXPECT_NE(r.out.find("** Error: invalid keyword MSGLENMUL on TUNNEL statement\n"), std::string::npos);
  EXPECT_EQ(r.prm->minmsglen, 5u);
  EXPECT_EQ(r.prm->msglenmult, 256u);
  EXPECT_EQ(r.prm->encrtype, 1u);   // the next line is read as usual

  // A zero byte ends the line for the scanner and for the listing.
  r = readtext(std::string("TUNNEL OPTIONS ENCRTYPE DES3\0 MINMSGLEN 7\nTUNNEL OPTIONS MSGLENMULT 16\n", 71), 1);
  EXPECT_EQ(r.out, std::string(limits) + "Param: TUNNEL OPTIONS ENCRTYPE DES3\nParam: TUNNEL OPTIONS MSGLENMULT 16\n");
  EXPECT_EQ(r.prm->encrtype, 1u);
  EXPECT_EQ(r.prm->minmsglen, 0u);
  EXPECT_EQ(r.prm->msglenmult, 16u);
}

TEST(ParamFile, TunnelOptions) {
  auto r = readtext("tUnNeL oPtIoNs EnCrTyPe dEs3 MINMSGLEN 0 msglenmult 64\n", 3);
  EXPECT_EQ(r.prm->encrtype, 1u);
  EXPECT_EQ(r.prm->ctxsize, 2336u);
  EXPECT_EQ(r.prm->minmsglen, 0u);
  EXPECT_EQ(r.prm->msglenmult, 64u);
  EXPECT_NE(r.out.find("Encr type set to 1\nminmsglen set to 0\nmsglenmult set to 64\n"), std::string::npos);

  // The debug lines belong to level 3; the last value given counts.
  r = readtext("TUNNEL OPT ENCRTYPE DES3 MINMSGLEN 9 MINMSGLEN 123456789\nTUNNEL OPTIONS ENCRTYPE RC4\n", 2);
  EXPECT_EQ(count(r.out, "set to"), 0u);
  EXPECT_EQ(r.prm->encrtype, 2u);
  EXPECT_EQ(r.prm->ctxsize, 290u);
  EXPECT_EQ(r.prm->minmsglen, 123456789u);

  // Pairs before an error stay in force; the rest of the line is ignored.
  r = readtext("tunnel options encrtype des3 msglenmult x minmsglen 5\n");
  EXPECT_EQ(r.out, "** Error: invalid value on TUNNEL statement: x\n");
  EXPECT_EQ(r.prm->encrtype, 1u);
  EXPECT_EQ(r.prm->minmsglen, 0u);

  struct {
    const char* line;
    const char* message;
  } bad[] = {
      {"TUNNEL OPTIONS MSGLENMULT 0", "** Error: invalid value on TUNNEL statement: 0\n"},
      {"TUNNEL OPTIONS MSGLENMULT 1234567890", "** Error: invalid value on TUNNEL statement: 1234567890\n"},
      {"TUNNEL OPTIONS MINMSGLEN 16k", "** Error: invalid value on TUNNEL statement: 16k\n"},
      {"TUNNEL OPTIONS ENCRTYPE DES", "** Error: invalid value on TUNNEL statement: DES\n"},
      {"tunnel opt enc des3", "** Error: invalid keyword enc on TUNNEL statement\n"},
      {"TUNNEL OPTIONS USERNAME bob", "** Error: invalid keyword USERNAME on TUNNEL statement\n"},
      {"TUNNEL OPTIONS MINMSGLEN 5 # note", "** Error: invalid keyword # on TUNNEL statement\n"},
      {"TUNNEL OPTIONS MINMSGLEN", "** Error: missing value on TUNNEL statement: TUNNEL OPTIONS MINMSGLEN\n"},
      {"TUNNEL OPTIONS MINMSGLEN\t", "** Error: missing value on TUNNEL statement: TUNNEL OPTIONS MINMSGLEN\t\n"},
      {"TUNNEL OPTS", "** Error: invalid type of TUNNEL statement: OPTS\n"},
      {"tun options encrtype des3", "** Error: unknown statement in parameter file: tun\n"},
      {"OPTIONS ENCRTYPE DES3", "** Error: unknown statement in parameter file: OPTIONS\n"},
      {"   # indented", "** Error: unknown statement in parameter file: #\n"},
      {"TUNNEL", ""},
      {"TUNNEL OPTIONS", ""},
      {"# TUNNEL OPTIONS ENCRTYPE DES3", ""},
      {"* x", ""},
      {"; y", ""},
  };
  for (const auto& b : bad) {
    r = readtext(std::string(b.line) + "\n");
    EXPECT_EQ(r.out, b.message) << b.line;
    EXPECT_EQ(r.prm->encrtype, 2u) << b.line;
    EXPECT_EQ(r.prm->msglenmult, 256u) << b.line;
  }
  // MINMSGLEN 5 before the # stays.
  EXPECT_EQ(readtext("TUNNEL OPTIONS MINMSGLEN 5 # note\n").prm->minmsglen, 5u);
}

TEST(ParamFile, ClientsideUser) {
  auto r = readtext("tunnel clientside username ? secret ??\n", 3);
  EXPECT_EQ(r.out.substr(r.out.find("Param:")),
            "Param: tunnel clientside username ? secret ??\n"
            "  To store: utype=1 ulen=0 uname= pwtype=2 pwlen=0\n");
  EXPECT_EQ(r.prm->clientside, 1u);
  EXPECT_EQ(r.prm->serverside, 0u);
  EXPECT_EQ(r.prm->cluser.utype, 1);
  EXPECT_EQ(r.prm->cluser.pwtype, 2);
  EXPECT_EQ(r.prm->cluser.ulen, 0);
  EXPECT_EQ(r.prm->cluser.pwlen, 0);

  // A name is blank-padded, a secret zero-padded; SECRET may come first; a
  // later statement replaces the earlier one.
  r = readtext("TUNNEL CL SEC 'x y' USER alice\nTUNNEL CLSIDE SECRET s3 USERNAME bob USERNAME Bob\n");
  EXPECT_EQ(r.out, "");
  const userent& e = r.prm->cluser;
  EXPECT_EQ(e.utype, 0);
  EXPECT_EQ(e.pwtype, 0);
  EXPECT_EQ(uname(e), "Bob");
  EXPECT_EQ(std::string((const char*)e.uname, 80), "Bob" + std::string(77, ' '));
  EXPECT_EQ(secret(e), "s3");
  EXPECT_EQ(std::string((const char*)e.secret, 128), "s3" + std::string(126, '\0'));

  // Names of 80 characters and secrets of 128 fit; one more does not.
  std::string n80(80, 'n'), s128(128, 's');
  r = readtext("TUNNEL CLIENTSIDE USERNAME " + n80 + " SECRET " + s128 + "\n");
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(uname(r.prm->cluser), n80);
  EXPECT_EQ(secret(r.prm->cluser), s128);
  r = readtext("TUNNEL CLIENTSIDE USERNAME " + n80 + "n SECRET x\n");
  EXPECT_EQ(r.out, "** Error: invalid value on TUNNEL statement: " + n80 + "n\n");
  EXPECT_EQ(r.prm->clientside, 0u);
  r = readtext("TUNNEL CLIENTSIDE USERNAME bob SECRET " + s128 + "s\n");
  EXPECT_EQ(r.out, "** Error: invalid value on TUNNEL statement: ********\n");
  EXPECT_EQ(r.prm->clientside, 0u);

  // Incomplete statements store nothing.
  for (const char* line : {"TUNNEL CLIENTSIDE", "TUNNEL CLIENTSIDE USERNAME bob", "tunnel cl secret x"}) {
    r = readtext(std::string(line) + "\n");
    std::string shown = strstr(line, "secret") ? "tunnel cl secret ********" : line;   // masked
    EXPECT_EQ(r.out, "** Error: Incomplete statement: " + shown + "\n");
    EXPECT_EQ(r.prm->clientside, 0u);
  }
  r = readtext("TUNNEL CLIENTSIDE USERNAME bob SECRET");
  EXPECT_EQ(r.out, "** Error: missing value on TUNNEL statement: TUNNEL CLIENTSIDE USERNAME bob SECRET\n");
  r = readtext("TUNNEL CLIENTSIDE USERNAME bob SECRET x ENCRTYPE RC4\n");
  EXPECT_EQ(r.out, "** Error: invalid keyword ENCRTYPE on TUNNEL statement\n");
  EXPECT_EQ(r.prm->clientside, 0u);
}

TEST(ParamFile, QuotedSecrets) {
  struct {
    const char* value;
    const char* secret;
    uint8_t pwtype;
  } cases[] = {
      {"'a b'", "a b", 0}, {"'it''s'", "it's", 0},  {"''", "", 0},          {"'ab'c", "'ab'c", 0},
      {"'?'", "", 1},      {"\"??\"", "", 2},       {"'a  b", "a  b", 0},   {"ab'c", "ab'c", 0},
      {"\"x y\"", "x y", 0},
  };
  for (const auto& c : cases) {
    auto r = readtext(std::string("TUNNEL SERVERSIDE USERNAME bob SECRET ") + c.value + "\n");
    EXPECT_EQ(r.out, "") << c.value;
    ASSERT_EQ(r.prm->numusers, 1u) << c.value;
    EXPECT_EQ(secret(r.prm->usertbl[0]), c.secret) << c.value;
    EXPECT_EQ(r.prm->usertbl[0].pwtype, c.pwtype) << c.value;
  }
  // Quotes mean nothing in a name.
  auto r = readtext("TUNNEL SERVERSIDE USERNAME 'a b' SECRET x\n");
  EXPECT_EQ(r.out, "** Error: invalid keyword b' on TUNNEL statement\n");
}

TEST(ParamFile, ServersideUsers) {
  auto r = readtext("TUNNEL SERVERSIDE USERNAME bob SECRET one\ntunnel serv user alice sec two\n"
                    "TUNNEL SERVSIDE USERNAME bob SECRET ??\n",
                    3);
  EXPECT_NE(r.out.find("  To store: utype=0 ulen=3 uname=bob pwtype=0 pwlen=3\n  Stored to usertbl[0]\n"),
            std::string::npos);
  EXPECT_NE(r.out.find("  To store: utype=0 ulen=3 uname=bob pwtype=2 pwlen=0\n  Stored to usertbl[2]\n"),
            std::string::npos);
  EXPECT_EQ(r.prm->serverside, 1u);
  EXPECT_EQ(r.prm->clientside, 0u);
  ASSERT_EQ(r.prm->numusers, 3u);
  EXPECT_EQ(uname(r.prm->usertbl[0]), "bob");
  EXPECT_EQ(secret(r.prm->usertbl[0]), "one");
  EXPECT_EQ(uname(r.prm->usertbl[1]), "alice");
  EXPECT_EQ(uname(r.prm->usertbl[2]), "bob");   // a repeated name is stored again
  EXPECT_EQ(r.prm->usertbl[2].pwtype, 2);

  // A serverside name cannot be asked for.
  for (const char* name : {"?", "??"}) {
    r = readtext(std::string("tunnel serverside username ") + name + " secret x\n");
    EXPECT_EQ(r.out, std::string("** Error: invalid value on TUNNEL statement: ") + name + "\n");
    EXPECT_EQ(r.prm->numusers, 0u);
  }
  r = readtext("tunnel serverside user bob\n");
  EXPECT_EQ(r.out, "** Error: Incomplete statement: tunnel serverside user bob\n");
  EXPECT_EQ(r.prm->serverside, 0u);

  // Both sides may stand in one file.
  r = readtext("TUNNEL CLIENTSIDE USERNAME c SECRET x\nTUNNEL SERVERSIDE USERNAME s SECRET y\n");
  EXPECT_EQ(r.prm->clientside, 1u);
  EXPECT_EQ(r.prm->serverside, 1u);

  // The table holds 50 users; the 51st is refused with its name.
  std::string text;
  for (int i = 1; i <= 51; i++) text += "TUNNEL SERVERSIDE USERNAME u" + std::to_string(i) + " SECRET s\n";
  r = readtext(text);
  EXPECT_EQ(r.out, "** Serverside user table is full, username not stored: u51\n");
  ASSERT_EQ(r.prm->numusers, 50u);
  EXPECT_EQ(uname(r.prm->usertbl[49]), "u50");
}

TEST(ParamFile, FilterStatements) {
  auto r = readtext("FILTER ALLOW 10.1 trailing words\nfilt accept 192.168.1.2\nFILTER REFUSE ANY\n"
                    "FILTER REJECT 1.\nFILTER DENY\nFILTER\n",
                    3);
  EXPECT_NE(r.out.find("  IP addr filter item: index=0 type=1 len=2 value=0x0000010A\n"), std::string::npos);
  EXPECT_NE(r.out.find("  IP addr filter item: index=1 type=1 len=4 value=0x0201A8C0\n"), std::string::npos);
  EXPECT_NE(r.out.find("  IP addr filter item: index=2 type=2 len=0 value=0x00000000\n"), std::string::npos);
  EXPECT_NE(r.out.find("  IP addr filter item: index=3 type=2 len=1 value=0x00000001\n"), std::string::npos);
  EXPECT_EQ(count(r.out, "**"), 3u);   // the extra words, FILTER DENY and FILTER alone
  EXPECT_EQ(r.prm->numfilt, 4u);

  for (const char* addr : {"256.1", "1..2", ".1", "1.2.3.4.5", "1.2.3.4/24", "1000", "al"}) {
    r = readtext(std::string("FILTER DENY ") + addr + "\n");
    EXPECT_EQ(r.out, std::string("** Invalid IP addr specification ") + addr + " in FILTER statement\n");
    EXPECT_EQ(r.prm->numfilt, 0u);
  }
  r = readtext("FILTER PERMIT 10\nFILTER AL 10\n");
  EXPECT_EQ(r.out, "** Invalid keyword PERMIT on FILTER statement\n** Invalid keyword AL on FILTER statement\n");
  EXPECT_EQ(r.prm->numfilt, 0u);

  // 500 items; then every FILTER statement is refused with its line, whatever it holds.
  std::string text;
  for (int i = 0; i < 500; i++) text += "FILTER DENY 10." + std::to_string(i % 256) + "\n";
  text += "FILTER ALLOW 1.2.3.4\nFILTER NONSENSE x\nFILTER\n";
  r = readtext(text);
  EXPECT_EQ(r.out,
            "** IP filter table is full, statement ignored: FILTER ALLOW 1.2.3.4\n"
            "** IP filter table is full, statement ignored: FILTER NONSENSE x\n"
            "** Error: Incomplete statement: FILTER\n");
  EXPECT_EQ(r.prm->numfilt, 500u);
  EXPECT_EQ(r.prm->filtaddr[499], 0x0000F30Au);   // 10.243
}

TEST(ParamFile, ListSwitch) {
  auto r = readtext("TUNNEL OPTIONS MINMSGLEN 1\nLIST ON\nTUNNEL OPTIONS MINMSGLEN 2 secretive\n# note\n\n"
                    "LIST OFF\nTUNNEL OPTIONS MINMSGLEN 3\nlist on\nLIST\nLIST maybe\nlisting\n"
                    "List off\nTUNNEL OPTIONS MINMSGLEN 4\n");
  EXPECT_EQ(r.out,
            "Param: TUNNEL OPTIONS MINMSGLEN 2 secretive\n"
            "** Error: invalid keyword secretive on TUNNEL statement\n"
            "Param: # note\n"
            "Param: \n"
            "** Error: unknown statement in parameter file: listing\n"
            "Param: List off\n");
  EXPECT_EQ(r.prm->minmsglen, 4u);

  // At debug level 1 every line is listed, LIST lines too.
  r = readtext("LIST ON\nLIST OFF\n", 1);
  EXPECT_EQ(r.out, "Max filter statements: 500\nMax serverside usernames: 50\nParam: LIST ON\nParam: LIST OFF\n");
}

TEST(ParamFile, ReadErrorKeepsWhatWasRead) {
  paramtest::tmpdir dir;
  std::string p = dir.write("f", "TUNNEL OPTIONS MINMSGLEN 5\n");
  auto prm = std::make_unique<paramrec>();
  runctx ctx{};
  ctx.paramrec = prm.get();
  readparamfile(nullptr, &ctx);

  uint8_t buf[PARAMBUFSIZE];
  bfreader bf;
  ASSERT_EQ(bfopen(&bf, p.c_str(), buf, sizeof buf, BF_DROPCR), 0u);
  int wfd = open(p.c_str(), O_WRONLY);   // a descriptor that cannot be read
  ASSERT_GE(wfd, 0);
  ASSERT_GE(dup2(wfd, int(bf.hnd)), 0);
  close(wfd);
  fflush(stdout);
  testing::internal::CaptureStdout();
  readparamlines(&bf, p.c_str(), &ctx);
  fflush(stdout);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "** Error reading parameter file " + p + "\n");
  bfclose(&bf);
  EXPECT_EQ(prm->minmsglen, 0u);
}
