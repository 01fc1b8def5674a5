// The statement scanner of the parameter file: tokens, keywords and values.
#pragma once
#include <cstdint>

constexpr uint32_t TOKENSIZE = 300;   // token buffer; a token keeps at most 299 characters
constexpr uint32_t KWMAXLEN = 64;     // longer tokens are never compared with the keywords

// Keyword codes: what a keyword of the table means.
enum kwcode : uint32_t {
  KW_NONE = 0,         // the token is no keyword
  KW_TUNNEL = 1,       // statement TUNNEL
  KW_OPTIONS = 2,      // TUNNEL type: tunnel options
  KW_CLIENTSIDE = 3,   // TUNNEL type: clientside user
  KW_SERVERSIDE = 4,   // TUNNEL type: serverside user
  KW_USERNAME = 5,     // user keyword USERNAME
  KW_SECRET = 6,       // user keyword SECRET
  KW_ASKONCE = 7,      // value "?": ask once at start-up
  KW_ASKCONN = 8,      // value "??": ask for every connection
  KW_FILTER = 9,       // statement FILTER
  KW_ALLOW = 10,       // FILTER: allow
  KW_DENY = 11,        // FILTER: deny
  KW_ALL = 12,         // FILTER address: every address
  KW_LIST = 13,        // statement LIST
  KW_ON = 14,          // LIST: on
  KW_OFF = 15,         // LIST: off
  KW_MINMSGLEN = 16,   // options keyword MINMSGLEN
  KW_MSGLENMULT = 17,  // options keyword MSGLENMULT
  KW_ENCRTYPE = 18,    // options keyword ENCRTYPE
  KW_RC4 = 19,         // ENCRTYPE value: RC4
  KW_DES3 = 20,        // ENCRTYPE value: triple DES
};

// One keyword: as stored (small letters), its shortest accepted length, its code.
struct kwrow {
  const char* word;
  uint32_t minlen;
  kwcode code;
};
constexpr uint32_t KWROWS = 26;
extern const kwrow kwtable[KWROWS];

// The scanner over one line. The caller sets line, pos (0 at the start of the
// line) and quote before each call; nexttoken sets the results.
struct scanner {
  // settings
  const char* line;   // the line, ended by a zero byte
  uint32_t pos;       // where the next token is looked for
  uint32_t quote;     // 1: a token that begins with ' or " is a quoted value
  // results
  uint32_t found;     // 1 when a token was found, 0 at the end of the line
  char token[TOKENSIZE];   // the token's text, ended by a zero byte
  uint32_t toklen;    // its length, 0 to 299
  kwcode code;        // its keyword code, KW_NONE when it is no keyword
  uint32_t hasvalue;  // 1 when the token is a decimal value
  uint32_t value;     // that value
  uint32_t lineend;   // 1 when the token ended at the end of the line, 0 when a blank followed
};

// kwlookup(text, len): the code of the first keyword row that the len
// characters of text match (case-blind, at least the row's shortest form, at
// most the whole keyword), KW_NONE when none does or len is above 64.
kwcode kwlookup(const char* text, uint32_t len);

// nexttoken(sc): read the next token of sc->line from sc->pos on and move
// sc->pos behind it. A line beginning with "*", "#" or ";" holds no token.
void nexttoken(scanner* sc);
