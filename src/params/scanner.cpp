#include "params/scanner.h"

#include <cstring>

// The keywords of the parameter file, searched in this order: row i holds a
// keyword as stored, the fewest of its leading characters that still name it,
// and what it means.
const kwrow kwtable[KWROWS] = {
    {"tunnel", 6, KW_TUNNEL},         {"options", 3, KW_OPTIONS},
    {"clientside", 2, KW_CLIENTSIDE}, {"clside", 2, KW_CLIENTSIDE},
    {"serverside", 4, KW_SERVERSIDE}, {"servside", 4, KW_SERVERSIDE},
    {"username", 4, KW_USERNAME},     {"secret", 3, KW_SECRET},
    {"?", 1, KW_ASKONCE},             {"??", 2, KW_ASKCONN},
    {"filter", 4, KW_FILTER},         {"allow", 5, KW_ALLOW},
    {"accept", 6, KW_ALLOW},          {"deny", 4, KW_DENY},
    {"refuse", 6, KW_DENY},           {"reject", 6, KW_DENY},
    {"all", 3, KW_ALL},               {"any", 3, KW_ALL},
    {"list", 4, KW_LIST},             {"on", 2, KW_ON},
    {"off", 3, KW_OFF},               {"minmsglen", 9, KW_MINMSGLEN},
    {"msglenmult", 10, KW_MSGLENMULT}, {"encrtype", 8, KW_ENCRTYPE},
    {"rc4", 3, KW_RC4},               {"des3", 4, KW_DES3},
};

namespace {

bool blankchar(char c) { return c == ' ' || c == '\t'; }

bool iscomment(char c) { return c == '*' || c == '#' || c == ';'; }

// unquote(t, len, q, closed): remove the quotes of a token that began with the
// quote character q; the new length. closed tells that an even number of
// quote characters was read, so a closing quote exists.
uint32_t unquote(char* t, uint32_t len, char q, bool closed) {
  // No closing quote: only the opening one goes.
  if (!closed) {
    memmove(t, t + 1, len - 1);
    return len - 1;
  }
  // A quote that closes before more text leaves the token as written.
  for (uint32_t i = 1; i < len; i++) {
    if (t[i] != q) continue;
    if (i + 1 < len && t[i + 1] == q) {
      i++;
    } else if (i + 1 < len) {
      return len;
    }
  }
  // Drop the opening quote and the closing one, fold each doubled quote to one.
  uint32_t out = 0;
  for (uint32_t i = 1; i < len; i++) {
    if (t[i] == q) {
      if (i + 1 < len && t[i + 1] == q) {
        t[out++] = q;
        i++;
      }
      continue;
    }
    t[out++] = t[i];
  }
  return out;
}

}  // namespace

kwcode kwlookup(const char* text, uint32_t len) {
  if (len == 0 || len > KWMAXLEN) return KW_NONE;
  char folded[KWMAXLEN];
  for (uint32_t i = 0; i < len; i++) {
    char c = text[i];
    folded[i] = (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
  }
  for (const kwrow& row : kwtable) {
    if (len >= row.minlen && len <= strlen(row.word) && memcmp(folded, row.word, len) == 0)
      return row.code;
  }
  return KW_NONE;
}

void nexttoken(scanner* sc) {
  sc->found = 0;
  sc->toklen = 0;
  sc->token[0] = 0;
  sc->code = KW_NONE;
  sc->hasvalue = 0;
  sc->value = 0;
  sc->lineend = 1;
  const char* s = sc->line;
  uint32_t p = sc->pos;

  // A comment line holds no token at all.
  if (p == 0 && iscomment(s[0])) {
    sc->pos = uint32_t(strlen(s));
    return;
  }
  while (blankchar(s[p])) p++;
  if (s[p] == 0) {
    sc->pos = p;
    return;
  }

  // Gather the token. Inside an open quote blanks belong to it; characters
  // beyond the buffer are read and dropped.
  char q = 0;
  if (sc->quote && (s[p] == '\'' || s[p] == '"')) q = s[p];
  uint32_t nquotes = 0, len = 0;
  for (; s[p] != 0; p++) {
    char c = s[p];
    if (blankchar(c) && (q == 0 || nquotes % 2 == 0)) break;
    if (q != 0 && c == q) nquotes++;
    if (len < TOKENSIZE - 1) sc->token[len++] = c;
  }
  sc->lineend = s[p] == 0 ? 1 : 0;
  sc->pos = p;
  if (q != 0) len = unquote(sc->token, len, q, nquotes % 2 == 0);
  sc->token[len] = 0;
  sc->toklen = len;
  sc->found = 1;

  sc->code = kwlookup(sc->token, len);
  if (len >= 1 && len <= 9) {
    uint32_t v = 0;
    uint32_t i = 0;
    while (i < len && sc->token[i] >= '0' && sc->token[i] <= '9') v = v * 10 + uint32_t(sc->token[i++] - '0');
    if (i == len) {
      sc->hasvalue = 1;
      sc->value = v;
    }
  }
}
