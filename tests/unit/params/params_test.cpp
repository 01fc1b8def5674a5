// The parameter file: one table of file text to log, record and the address
// filter's decisions.
#include <sstream>

#include "params/ipfilter.h"
#include "params/paramfile.h"
#include "unit/unitutil.h"

using namespace ut;

namespace {

const std::string LIMITS = "Max filter statements: 500\nMax serverside usernames: 50\n";

// rec(p): the record as text: sides, cipher and work area size, record
// options, then each user as name/secret/utype pwtype and each filter item.
std::string rec(const paramrec& p) {
  char s[200];
  snprintf(s, sizeof s, "c%u s%u e%u/%u min%u mult%u", p.clientside, p.serverside, p.encrtype,
           p.ctxsize, p.minmsglen, p.msglenmult);
  std::string r = s;
  auto user = [&](const userent& u) {
    std::string n((const char*)u.uname, UNAMELEN), pw((const char*)u.secret, SECRETLEN);
    r += " " + n.substr(0, u.ulen) + "/" + pw.substr(0, u.pwlen) + "/" + std::to_string(u.utype) +
         std::to_string(u.pwtype);
    bool blanks =
        n == std::string(UNAMELEN, '\0') || n.substr(u.ulen) == std::string(UNAMELEN - u.ulen, ' ');
    if (!blanks || pw.substr(u.pwlen) != std::string(SECRETLEN - u.pwlen, '\0'))
      r += "(bad padding)";
  };
  user(p.cluser);
  for (uint32_t i = 0; i < p.numusers; i++) user(p.usertbl[i]);
  for (uint32_t i = 0; i < p.numfilt; i++) {
    snprintf(s, sizeof s, " F%u:%u:%08x", p.filttype[i], p.filtlen[i], p.filtaddr[i]);
    r += s;
  }
  return r;
}

// where(log, path, refused): the log without its "   (line N of path)"
// lines, each of which must follow a message ("** "); each message of an
// error, not a warning, takes 1 from *refused.
std::string where(const std::string& log, const std::string& path, uint32_t* refused) {
  std::string rest, tail = " of " + path + ")";
  bool message = false;   // the line before is a message
  std::stringstream in(log);
  for (std::string line; std::getline(in, line);) {
    bool cont = line.rfind("   (line ", 0) == 0 && line.size() > tail.size() &&
                line.compare(line.size() - tail.size(), tail.size(), tail) == 0;
    EXPECT_EQ(cont, message) << (cont ? "a line number after no message: "
                                      : "no line number after: ")
                             << line;
    message = !cont && line.rfind("** ", 0) == 0;
    if (message && line.rfind("** Warning", 0) != 0) --*refused;
    if (!cont) rest += line + "\n";
  }
  EXPECT_FALSE(message) << "no line number after the last message";
  return rest;
}

}   // namespace

TEST(ParamFile, TextToLogAndRecord) {
  const std::string D = "c0 s0 e2/290 min0 mult256 //00";   // the defaults
  std::string n80(80, 'n'), s128(128, 's'), users, filters, longline = "TUNNEL OPTIONS MINMSGLEN 5";
  for (int i = 1; i <= 51; i++)
    users += "TUNNEL SERVERSIDE USERNAME u" + std::to_string(i) + " SECRET s\n";
  for (int i = 0; i < 500; i++) filters += "FILTER DENY 10." + std::to_string(i % 256) + "\n";
  longline += std::string(791 - longline.size(), ' ') + "MSGLENMULT 32 and more";   // cut at 800
  // Order: file text, debug level, log ("..." not compared), record as text ("..." ends a
  // beginning), addresses the filter lets in (+) or keeps out (-): the first matching item decides,
  // no item allows.
  const struct {
    std::string text;
    uint32_t dbglevel;
    std::string log, rec, probes = "";
  } rows[] = {
      {"", 1, LIMITS, D, "10.2.0.1+"},
      // CR LF reads as LF, a CR inside a line is dropped, the last line needs no LF.
      {"TUNNEL OPTIONS MINMSGLEN 5\r\nTUNNEL OPT\rIONS ENCRTYPE DES3\r\n"
       "TUNNEL OPTIONS MSGLENMULT 32",
       0, "", "c0 s0 e1/2336 min5 mult32 //00"},
      // An empty last line is not read, an empty line before it is; trailing blanks go, tabs stay.
      {"LIST\n\nLIST   \nLIST\t \n", 1,
       LIMITS + "Param: LIST\nParam: \nParam: LIST\nParam: LIST\t\n", D},
      {longline + "\nTUNNEL OPTIONS ENCRTYPE DES3\n", 0,
       "** Error: invalid keyword MSGLENMUL on TUNNEL statement\n",
       "c0 s0 e1/2336 min5 mult256 //00"},
      {std::string("TUNNEL OPTIONS ENCRTYPE DES3\0 MINMSGLEN 7\nTUNNEL OPTIONS MSGLENMULT 16\n",
                   71),
       1, LIMITS + "Param: TUNNEL OPTIONS ENCRTYPE DES3\nParam: TUNNEL OPTIONS MSGLENMULT 16\n",
       "c0 s0 e1/2336 min0 mult16 //00"},
      {"tUnNeL oPtIoNs EnCrTyPe dEs3 MINMSGLEN 0 msglenmult 64\n", 0, "",
       "c0 s0 e1/2336 min0 mult64 //00"},
      {"TUNNEL OPT ENCRTYPE DES3 MINMSGLEN 9 MINMSGLEN 123456789\nTUNNEL OPTIONS ENCRTYPE RC4\n", 0,
       "", "c0 s0 e2/290 min123456789 mult256 //00"},
      // Pairs before an error stay in force; the rest of the line is ignored.
      {"tunnel options encrtype des3 msglenmult x minmsglen 5\n", 0,
       "** Error: invalid value on TUNNEL statement: x\n", "c0 s0 e1/2336 min0 mult256 //00"},
      {"TUNNEL OPTIONS MINMSGLEN 5 # note", 0, "** Error: invalid keyword # on TUNNEL statement\n",
       "c0 s0 e2/290 min5 mult256 //00"},
      {"TUNNEL OPTIONS MSGLENMULT 0\nTUNNEL OPTIONS MSGLENMULT 1234567890\n"
       "TUNNEL OPTIONS MINMSGLEN 0x10\nTUNNEL OPTIONS ENCRTYPE DES\n",
       0,
       "** Error: invalid value on TUNNEL statement: 0\n"
       "** Error: invalid value on TUNNEL statement: 1234567890\n"
       "** Error: invalid value on TUNNEL statement: 0x10\n"
       "** Error: invalid value on TUNNEL statement: DES\n",
       D},
      {"tunnel opt enc des3\nTUNNEL OPTIONS USERNAME bob\nTUNNEL OPTS\ntun options encrtype des3\n",
       0,
       "** Error: invalid keyword enc on TUNNEL statement\n"
       "** Error: invalid keyword USERNAME on TUNNEL statement\n"
       "** Error: invalid type of TUNNEL statement: OPTS\n"
       "** Error: unknown statement in parameter file: tun\n",
       D},
      {"TUNNEL OPTIONS MINMSGLEN\t", 0,
       "** Error: missing value on TUNNEL statement: TUNNEL OPTIONS MINMSGLEN\t\n", D},
      {"   # indented\n" + std::string(5000, 'Z'), 0,
       "** Error: unknown statement in parameter file: #\n"
       "** Error: unknown statement in parameter file: " +
           std::string(299, 'Z') + "\n",
       D},
      {"TUNNEL\nTUNNEL OPTIONS\n# TUNNEL OPTIONS ENCRTYPE DES3\n* x\n; y\n", 0, "", D},
      // A filter rule without its address fails loudly, never open; extra words are named.
      {"FILTER\nFILTER DENY\nFILTER DENY 10.1 10.2 10.3\n", 0,
       "** Error: Incomplete statement: FILTER\n"
       "** Error: Incomplete statement: FILTER DENY\n"
       "** Warning: extra word 10.2 on FILTER statement ignored\n",
       D + " F2:2:0000010a", "10.1.0.0- 10.2.0.0+"},
      // Users: "?" asked once, "??" per connection; a name blank-padded, a secret zero-padded.
      {"tunnel clientside username ? secret ??\n", 0, "", "c1 s0 e2/290 min0 mult256 //12"},
      {"TUNNEL CL SEC 'x y' USER alice\nTUNNEL CLSIDE SECRET s3 USERNAME bob USERNAME Bob\n", 0, "",
       "c1 s0 e2/290 min0 mult256 Bob/s3/00"},
      {"TUNNEL CLIENTSIDE USERNAME " + n80 + " SECRET " + s128, 0, "",
       "c1 s0 e2/290 min0 mult256 " + n80 + "/" + s128 + "/00"},
      {"TUNNEL CLIENTSIDE USERNAME " + n80 + "n SECRET x", 0,
       "** Error: invalid value on TUNNEL statement: " + n80 + "n\n", D},
      // A secret never stands in a message: its value is shown as ********.
      {"TUNNEL CLIENTSIDE USERNAME bob SECRET " + s128 + "s", 0,
       "** Error: invalid value on TUNNEL statement: ********\n", D},
      {"tunnel cl secret x", 0, "** Error: Incomplete statement: tunnel cl secret ********\n", D},
      {"TUNNEL CLIENTSIDE SECRET ??", 0,
       "** Error: Incomplete statement: TUNNEL CLIENTSIDE SECRET ??\n", D},
      {"tunnel serv sec 'two words' user", 0,
       "** Error: missing value on TUNNEL statement: tunnel serv sec ******** user\n", D},
      {"TUNNEL CLIENTSIDE USERNAME sec SECRET x\tSECRET", 0,
       "** Error: missing value on TUNNEL statement: "
       "TUNNEL CLIENTSIDE USERNAME sec SECRET ********\tSECRET\n",
       D},
      // Quotes: doubled inside, other quote plain, text after the closing quote kept as written.
      {"TUNNEL SERVERSIDE USERNAME bob SECRET 'it''s'\ntunnel serv user bob sec \"x 'y' z\"\n"
       "TUNNEL SERV USER c SEC ''\nTUNNEL SERV USER d SEC 'ab'c\nTUNNEL SERV USER e SEC 'a  b\n"
       "TUNNEL SERV USER f SEC \"??\"\nTUNNEL SERV USER g SEC ''''''''\n",
       0, "",
       "c0 s1 e2/290 min0 mult256 //00 bob/it's/00 bob/x 'y' z/00 c//00 d/'ab'c/00 e/a  b/00 "
       "f//02 g/'''/00"},
      // Only secrets may be quoted.
      {"TUNNEL 'OPTIONS' MINMSGLEN 5\nFILTER 'DENY' 10\nFILTER DENY '10'\n", 0,
       "** Error: invalid type of TUNNEL statement: 'OPTIONS'\n"
       "** Invalid keyword 'DENY' on FILTER statement\n"
       "** Invalid IP addr specification '10' in FILTER statement\n",
       D},
      {"TUNNEL SERVERSIDE USERNAME 'a b' SECRET x", 0,
       "** Error: invalid keyword ******** on TUNNEL statement\n", D},
      {"tunnel serverside username ?? secret x", 0,
       "** Error: invalid value on TUNNEL statement: ??\n", D},
      {"tunnel serverside user bob", 0,
       "** Error: Incomplete statement: tunnel serverside user bob\n", D},
      {"TUNNEL CLIENTSIDE USERNAME c SECRET x\nTUNNEL SERVERSIDE USERNAME s SECRET y\n", 0, "",
       "c1 s1 e2/290 min0 mult256 c/x/00 s/y/00"},
      {users, 0, "** Serverside user table is full, username not stored: u51\n",
       "c0 s1 e2/290 min0 mult256 //00 u1/s/00 u2/s/00..."},
      // Filter items: one to four octets, ALL and ANY for every address.
      {"FILTER ALLOW 10.1 trailing words\nfilt accept 192.168.1.2\nFILTER REFUSE ANY\n"
       "FILTER REJECT 1.\nFILTER DENY\n",
       3, "...", D + " F1:2:0000010a F1:4:0201a8c0 F2:0:00000000 F2:1:00000001",
       "10.1.7.9+ 192.168.1.2+ 10.2.0.1- 1.10.0.0- 192.168.1.3-"},
      {"FILTER DENY 10.1.2.3\nFILTER ALLOW 10.1\nFILTER DENY 127\nFILTER ALLOW ALL\n"
       "FILTER DENY 10\n",
       0, "", D + " F2:4:0302010a F1:2:0000010a F2:1:0000007f F1:0:00000000 F2:1:0000000a",
       "10.1.2.3- 10.1.2.4+ 127.255.1.2- 10.127.0.1+ 10.0.0.1+"},
      {"FILTER DENY 0\nFILTER DENY 255.255.255.255\nFILTER DENY 000.000.000.001\n"
       "FILTER DENY 1.2.3.4.\n",
       0, "", D + " F2:1:00000000 F2:4:ffffffff F2:4:01000000 F2:4:04030201",
       "0.9.9.9- 1.2.3.4- 0.0.0.1- 1.2.3.5+"},
      {"FILTER DENY 256.1\nFILTER DENY 1..2\nFILTER DENY 1.2.3.4.5\nFILTER DENY 0001\n", 0,
       "** Invalid IP addr specification 256.1 in FILTER statement\n"
       "** Invalid IP addr specification 1..2 in FILTER statement\n"
       "** Invalid IP addr specification 1.2.3.4.5 in FILTER statement\n"
       "** Invalid IP addr specification 0001 in FILTER statement\n",
       D},
      {"FILTER PERMIT 10\nFILTER AL 10\n", 0,
       "** Invalid keyword PERMIT on FILTER statement\n** Invalid keyword AL on FILTER statement\n",
       D},
      {filters + "FILTER ALLOW 1.2.3.4\nFILTER\n", 0,
       "** IP filter table is full, statement ignored: FILTER ALLOW 1.2.3.4\n"
       "** Error: Incomplete statement: FILTER\n",
       D + " F2:2:0000000a..."},
      // LIST ON shows the lines that follow, LIST lines themselves excepted.
      {"TUNNEL OPTIONS MINMSGLEN 1\nLIST ON\nTUNNEL OPTIONS MINMSGLEN 2 secretive\n# note\n\n"
       "LIST OFF\nTUNNEL OPTIONS MINMSGLEN 3\n"
       "list on\nLIST\nLIST maybe\nlisting\nList off\nTUNNEL OPTIONS MINMSGLEN 4\n",
       0,
       "Param: TUNNEL OPTIONS MINMSGLEN 2 secretive\n"
       "** Error: invalid keyword secretive on TUNNEL statement\nParam: # note\nParam: \n"
       "** Error: unknown statement in parameter file: listing\nParam: List off\n",
       "c0 s0 e2/290 min4 mult256 //00"},
  };
  for (const auto& r : rows) {
    std::string path = file("kevra.par", r.text);
    paramrec p;
    runctx ctx{};
    ctx.dbglevel = r.dbglevel;
    ctx.paramrec = &p;
    memset(&p, 0x5A, sizeof p);   // stale contents must not survive the defaults
    uint32_t refused = 0;
    std::string log = out([&] { refused = readparamfile(path.c_str(), &ctx); });
    std::string got = rec(p);
    // Every message is followed by the line that says where; each error (not
    // a warning) is one refused statement. The rows show the rest.
    log = where(log, path, &refused);
    EXPECT_EQ(refused, 0u) << "refused statements not counted, or counted without a message: "
                           << r.text.substr(0, 100);
    EXPECT_EQ(r.log == "..." ? r.log : log, r.log) << r.text.substr(0, 100);
    if (r.rec.size() > 3 && r.rec.substr(r.rec.size() - 3) == "...")
      got = got.substr(0, r.rec.size() - 3) + "...";
    EXPECT_EQ(got, r.rec) << r.text.substr(0, 100);
    std::istringstream probes(r.probes);
    for (std::string a; probes >> a;) {
      unsigned o[4] = {};
      sscanf(a.c_str(), "%u.%u.%u.%u", &o[0], &o[1], &o[2], &o[3]);
      EXPECT_EQ(ipfilter(ipv4(uint8_t(o[0]), uint8_t(o[1]), uint8_t(o[2]), uint8_t(o[3])), &p),
                a.back() == '+')
          << r.text << a;
    }
  }
}

// Where and why: the line numbers, counted from 1 also past blank, comment
// and overlong lines; a file too large is not read at all.
TEST(ParamFile, SaysWhereAndCountsRefused) {
  std::string big = file("big.par", std::string(PARAMFILEMAX + 1, '\n'));
  const std::string path = file(
      "where.par", "TUNNEL OPTIONS MINMSGLEN 5\n\n# note\n" + std::string(900, 'x') +
                       "\nTUNEL OPTIONS\nFILTER DENY 10.1 10.2\nTUNNEL CL USER a SECRET b c\n");
  const struct {
    std::string path, log;
    uint32_t refused;
  } rows[] = {
      {path,
       "** Error: unknown statement in parameter file: " + std::string(299, 'x') +
           "\n   (line 4 of " + path +
           ")\n** Error: unknown statement in parameter file: TUNEL\n   (line 5 of " + path +
           ")\n** Warning: extra word 10.2 on FILTER statement ignored\n   (line 6 of " + path +
           ")\n** Error: invalid keyword ******** on TUNNEL statement\n   (line 7 of " + path +
           ")\n",
       3},
      {big, "** Error opening parameter file " + big + "\n   (larger than 1048576 bytes)\n", 1},
      {file("limit.par", std::string(PARAMFILEMAX, '\n')), "", 0},
  };
  for (const auto& r : rows) {
    paramrec p;
    runctx ctx{};
    ctx.paramrec = &p;
    uint32_t refused = 9;
    EXPECT_EQ(out([&] { refused = readparamfile(r.path.c_str(), &ctx); }), r.log);
    EXPECT_EQ(refused, r.refused) << r.path;
  }
}
