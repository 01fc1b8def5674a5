// Hostile and oversized parameter files: the reader finishes, keeps its
// limits and never reads beyond a buffer (run under the asan preset too).
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "paramtest.h"

using paramtest::readtext;

namespace {

void expectsane(const paramrec& p) {
  EXPECT_LE(p.numfilt, MAXFILT);
  EXPECT_LE(p.numusers, MAXUSERS);
  EXPECT_TRUE(p.encrtype == 1 || p.encrtype == 2);
  EXPECT_EQ(p.ctxsize, p.encrtype == 1 ? 2336u : 290u);
  EXPECT_GE(p.msglenmult, 1u);
  EXPECT_LE(p.cluser.ulen, UNAMELEN);
  EXPECT_LE(p.cluser.pwlen, SECRETLEN);
  for (uint32_t i = 0; i < p.numusers; i++) {
    EXPECT_LE(p.usertbl[i].ulen, UNAMELEN);
    EXPECT_LE(p.usertbl[i].pwlen, SECRETLEN);
  }
  for (uint32_t i = 0; i < p.numfilt; i++) EXPECT_LE(p.filtlen[i], 4);
}

}  // namespace

TEST(ParamFileBadInput, BinaryGarbage) {
  // Random bytes, and random bytes salted with the file's own words.
  std::mt19937 rng(20061204);
  const std::string words[] = {"TUNNEL ", "OPTIONS ", "CLIENTSIDE ", "SERVERSIDE ", "USERNAME ", "SECRET ", "'", "\"",
                         "FILTER ", "DENY ", "ALLOW ", "1.2.", "LIST ", "ON ", "\n", "\r", "\t", std::string(1, '\0')};
  for (int round = 0; round < 2; round++) {
    std::string text;
    while (text.size() < 300000) {
      if (round == 1 && rng() % 4 == 0)
        text += words[rng() % (sizeof words / sizeof *words)];
      else
        text += char(rng());
    }
    auto r = readtext(text, 3);
    expectsane(*r.prm);
  }
}

TEST(ParamFileBadInput, HugeFilesAndLines) {
  // 10 MB of comment lines, then a statement: the reader gets to the end.
  std::string line = "# " + std::string(1000, 'c') + "\n";
  std::string text;
  while (text.size() < 10 * 1024 * 1024) text += line;
  text += "TUNNEL OPTIONS MINMSGLEN 77";
  auto r = readtext(text);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.prm->minmsglen, 77u);

  // One line of 10 MB: cut to 800 characters, its token to 299.
  r = readtext(std::string(10 * 1024 * 1024, 'Z') + "\nTUNNEL OPTIONS MINMSGLEN 78\n");
  EXPECT_EQ(r.out, "** Error: unknown statement in parameter file: " + std::string(299, 'Z') + "\n");
  EXPECT_EQ(r.prm->minmsglen, 78u);

  // A huge secret in quotes, quote characters only, and an unclosed one.
  for (const std::string& value : {"'" + std::string(5000, 'x') + "'", std::string(5000, '\''),
                                   std::string(799, '\''), "'" + std::string(700, ' ') + "x"}) {
    r = readtext("TUNNEL CLIENTSIDE USERNAME bob SECRET " + value + "\n");
    expectsane(*r.prm);
    EXPECT_EQ(r.prm->clientside, 0u);
    EXPECT_NE(r.out.find("** Error: invalid value on TUNNEL statement: "), std::string::npos);
  }

  // 1000 FILTER lines: 500 stored, 500 refused.
  std::string filters;
  for (int i = 0; i < 1000; i++) filters += "FILTER ALLOW " + std::to_string(i % 256) + "\n";
  r = readtext(filters);
  EXPECT_EQ(r.prm->numfilt, 500u);
  size_t refused = 0;
  for (size_t at = r.out.find("** IP filter table is full"); at != std::string::npos;
       at = r.out.find("** IP filter table is full", at + 1))
    refused++;
  EXPECT_EQ(refused, 500u);
}
