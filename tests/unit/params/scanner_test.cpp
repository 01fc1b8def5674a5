#include "params/scanner.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

struct tok {
  std::string text;
  uint32_t code;
};

// scanall(line, quote): every token of line, read with the quote option.
std::vector<tok> scanall(const char* line, bool quote = false) {
  scanner sc{};
  sc.line = line;
  sc.pos = 0;
  std::vector<tok> out;
  for (int guard = 0; guard < 1000; guard++) {
    sc.quote = quote ? 1 : 0;
    nexttoken(&sc);
    if (!sc.found) break;
    EXPECT_EQ(strlen(sc.token), sc.toklen);
    out.push_back({std::string(sc.token, sc.toklen), sc.code});
  }
  return out;
}

std::string upper(std::string s) {
  for (char& c : s) c = char(toupper((unsigned char)c));
  return s;
}

}  // namespace

TEST(Scanner, EveryKeywordFromShortestFormToWholeWordInAnyCase) {
  for (const kwrow& row : kwtable) {
    std::string word = row.word;
    for (size_t n = row.minlen; n <= word.size(); n++) {
      std::string form = word.substr(0, n);
      EXPECT_EQ(kwlookup(form.c_str(), uint32_t(n)), row.code) << form;
      EXPECT_EQ(kwlookup(upper(form).c_str(), uint32_t(n)), row.code) << form;
    }
    // One character short of the shortest form, or one too many, is not this keyword.
    std::string shorter = word.substr(0, row.minlen - 1);
    EXPECT_NE(kwlookup(shorter.c_str(), uint32_t(shorter.size())), row.code) << shorter;
    std::string longer = word + "x";
    EXPECT_NE(kwlookup(longer.c_str(), uint32_t(longer.size())), row.code) << longer;
  }
  EXPECT_EQ(kwlookup("tUnNeL", 6), KW_TUNNEL);
  EXPECT_EQ(kwlookup("tun", 3), KW_NONE);
  EXPECT_EQ(kwlookup("enc", 3), KW_NONE);
  EXPECT_EQ(kwlookup("al", 2), KW_NONE);
  EXPECT_EQ(kwlookup("??", 2), KW_ASKCONN);
  EXPECT_EQ(kwlookup("???", 3), KW_NONE);
  // The documented short forms.
  for (const char* s : {"opt", "cl", "serv", "user", "sec", "filt"}) EXPECT_NE(kwlookup(s, uint32_t(strlen(s))), KW_NONE) << s;
}

TEST(Scanner, BlanksTabsCommentsAndLineEnd) {
  auto t = scanall("  TUNNEL\t\toptions   minmsglen\t7");
  ASSERT_EQ(t.size(), 4u);
  EXPECT_EQ(t[0].text, "TUNNEL");
  EXPECT_EQ(t[0].code, KW_TUNNEL);
  EXPECT_EQ(t[1].code, KW_OPTIONS);
  EXPECT_EQ(t[2].code, KW_MINMSGLEN);
  EXPECT_EQ(t[3].text, "7");

  // Comments only as the very first character of a line.
  for (const char* line : {"* x", "#TUNNEL OPTIONS", ";", "#"}) EXPECT_TRUE(scanall(line).empty()) << line;
  t = scanall("  # not a comment");
  ASSERT_EQ(t.size(), 4u);
  EXPECT_EQ(t[0].text, "#");
  EXPECT_TRUE(scanall("").empty());
  EXPECT_TRUE(scanall(" \t ").empty());

  // How a token ended: a blank followed, or the end of the line.
  scanner sc{};
  sc.line = "a b\t";
  nexttoken(&sc);
  EXPECT_EQ(sc.lineend, 0u);
  nexttoken(&sc);
  EXPECT_EQ(std::string(sc.token), "b");
  EXPECT_EQ(sc.lineend, 0u);
  nexttoken(&sc);
  EXPECT_EQ(sc.found, 0u);
  sc.line = "a b";
  sc.pos = 0;
  nexttoken(&sc);
  nexttoken(&sc);
  EXPECT_EQ(sc.lineend, 1u);
}

TEST(Scanner, LongTokensAreCutAndDecimalValuesHaveOneToNineDigits) {
  std::string line = std::string(400, 'x') + " next";
  auto t = scanall(line.c_str());
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(t[0].text, std::string(299, 'x'));
  EXPECT_EQ(t[1].text, "next");

  struct {
    const char* token;
    bool has;
    uint32_t value;
  } cases[] = {{"0", true, 0},
               {"007", true, 7},
               {"123456789", true, 123456789},
               {"999999999", true, 999999999},
               {"1234567890", false, 0},
               {"16k", false, 0},
               {"-1", false, 0},
               {"+1", false, 0},
               {"0x10", false, 0}};
  for (const auto& c : cases) {
    scanner sc{};
    sc.line = c.token;
    nexttoken(&sc);
    EXPECT_EQ(sc.hasvalue, c.has ? 1u : 0u) << c.token;
    EXPECT_EQ(sc.value, c.value) << c.token;
  }
}

TEST(Scanner, QuotedValues) {
  struct {
    const char* line;
    const char* token;   // the first token after unquoting
    uint32_t code;
  } cases[] = {
      // The common forms are tested through whole files; these are the corners.
      {"'a''b'c", "'a''b'c", KW_NONE},    // text after the closing quote: kept as written
      {"'it''s", "it''s", KW_NONE},       // no closing quote: only the opening one goes
      {"'", "", KW_NONE},
      {"\"??\"", "??", KW_ASKCONN},       // keywords match after unquoting
      {"\"x 'y' z\"", "x 'y' z", KW_NONE},  // the other quote character is plain
      {"'a\tb'", "a\tb", KW_NONE},        // a tab inside quotes is kept
      {"ab'c d'", "ab'c", KW_NONE},       // a quote inside a token is plain
      {"''''''''", "'''", KW_NONE},  // opening, three doubled, closing
  };
  for (const auto& c : cases) {
    auto t = scanall(c.line, true);
    ASSERT_FALSE(t.empty()) << c.line;
    EXPECT_EQ(t[0].text, c.token) << c.line;
    EXPECT_EQ(t[0].code, c.code) << c.line;
  }

  // After a closed quote the next token follows as usual.
  auto t = scanall("'a b' next", true);
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(t[1].text, "next");
  // Without the option quotes are ordinary characters.
  t = scanall("'a b'");
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(t[0].text, "'a");
  EXPECT_EQ(t[1].text, "b'");
}
