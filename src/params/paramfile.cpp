#include "params/paramfile.h"

#include <cstdio>
#include <cstring>

#include "common/paramrec.h"
#include "crypto/cipher.h"
#include "crypto/secure.h"
#include "params/ipfilter.h"
#include "params/scanner.h"

namespace {

// What a message shows in place of a secret's value: always the same, so
// that not even its length shows.
constexpr char SECRETMASK[] = "********";

// What the reader keeps while one line is read. The entry may hold a secret.
struct linestate {
  const char* line;   // the whole line, for the messages that quote it
  const char* path;   // the file, for the line that says where
  uint32_t lineno;    // the line's number, from 1
  uint32_t refused;   // statements refused so far
  runctx* ctx;
  scanner sc;
  bool listing;       // LIST ON is in force
  bool error;         // an error was reported: the rest of the line is ignored
  bool namegiven, secretgiven, pending;
  userent ent;        // the user entry being built
};

// next(ls, quote): the next token of the line into ls->sc; false at the end.
bool next(linestate* ls, bool quote) {
  ls->sc.quote = quote ? 1 : 0;
  nexttoken(&ls->sc);
  ls->sc.quote = 0;
  return ls->sc.found != 0;
}

// where(ls): after a message, the line that says which line of which file it is about.
void where(const linestate* ls) { printf("   (line %lu of %s)\n", (unsigned long)ls->lineno, ls->path); }

// refuse(ls): after the message of a refused statement: where, and count it.
void refuse(linestate* ls) {
  where(ls);
  ls->refused++;
}

// invalidvalue(ls, secret): report the value token, masked when it is a secret.
void invalidvalue(linestate* ls, bool secret = false) {
  printf("** Error: invalid value on TUNNEL statement: %s\n", secret ? SECRETMASK : ls->sc.token);
  refuse(ls);
  ls->error = true;
}

// printmasked(line): print the line as written, but with the value of every
// SECRET of a TUNNEL user statement shown as SECRETMASK ("?" and "??" stay:
// they are no secrets). The line is scanned again by the statement's own
// rules: a type, then keyword-value pairs.
void printmasked(const char* line) {
  scanner sc;
  memset(&sc, 0, sizeof sc);
  sc.line = line;
  nexttoken(&sc);
  bool user = false;
  if (sc.found && sc.code == KW_TUNNEL) {
    nexttoken(&sc);
    user = sc.found && (sc.code == KW_CLIENTSIDE || sc.code == KW_SERVERSIDE);
  }
  uint32_t shown = 0;
  while (user) {
    nexttoken(&sc);
    if (!sc.found) break;
    bool secret = sc.code == KW_SECRET;
    uint32_t from = sc.pos;
    while (line[from] == ' ' || line[from] == '\t') from++;
    sc.quote = secret ? 1 : 0;
    nexttoken(&sc);
    sc.quote = 0;
    if (!sc.found) break;
    if (secret && sc.code != KW_ASKONCE && sc.code != KW_ASKCONN) {
      printf("%.*s%s", int(from - shown), line + shown, SECRETMASK);
      shown = sc.pos;
    }
  }
  printf("%s", line + shown);
  secure_zero(&sc, sizeof sc);
}

// lineerror(ls, text): the message text, then the line with its secrets
// masked; the statement is refused.
void lineerror(linestate* ls, const char* text) {
  printf("%s", text);
  printmasked(ls->line);
  printf("\n");
  refuse(ls);
}

// optionvalue(ls, kw): apply the value token of the OPTIONS keyword kw.
void optionvalue(linestate* ls, uint32_t kw) {
  paramrec* prm = ls->ctx->paramrec;
  const scanner* sc = &ls->sc;
  uint32_t dbg = ls->ctx->dbglevel;
  if (kw == KW_MINMSGLEN) {
    if (!sc->hasvalue) return invalidvalue(ls);
    prm->minmsglen = sc->value;
    if (dbg >= 3) printf("minmsglen set to %lu\n", (unsigned long)prm->minmsglen);
  } else if (kw == KW_MSGLENMULT) {
    if (!sc->hasvalue || sc->value == 0) return invalidvalue(ls);
    prm->msglenmult = sc->value;
    if (dbg >= 3) printf("msglenmult set to %lu\n", (unsigned long)prm->msglenmult);
  } else {
    if (sc->code == KW_RC4) {
      prm->encrtype = ENCR_RC4;
      prm->ctxsize = CTXSIZE_RC4;
    } else if (sc->code == KW_DES3) {
      prm->encrtype = ENCR_DES3;
      prm->ctxsize = CTXSIZE_DES3;
    } else {
      return invalidvalue(ls);
    }
    if (dbg >= 3) printf("Encr type set to %lu\n", (unsigned long)prm->encrtype);
  }
}

// uservalue(ls, ttype, kw): fill the entry from the value token of USERNAME
// or SECRET on a statement of TUNNEL type ttype.
void uservalue(linestate* ls, uint32_t ttype, uint32_t kw) {
  scanner* sc = &ls->sc;
  userent* e = &ls->ent;
  if (kw == KW_USERNAME) {
    memset(e->uname, ' ', UNAMELEN);
    e->utype = UT_PRESENT;
    e->ulen = 0;
    if (sc->code == KW_ASKONCE || sc->code == KW_ASKCONN) {
      // Only the clientside name may be asked at the console.
      if (ttype != KW_CLIENTSIDE) return invalidvalue(ls);
      e->utype = sc->code == KW_ASKONCE ? UT_ASKONCE : UT_ASKCONN;
    } else {
      if (sc->toklen > UNAMELEN) return invalidvalue(ls);
      memcpy(e->uname, sc->token, sc->toklen);
      e->ulen = uint8_t(sc->toklen);
    }
    ls->namegiven = true;
    return;
  }

  secure_zero(e->secret, SECRETLEN);
  e->pwtype = UT_PRESENT;
  e->pwlen = 0;
  if (sc->code == KW_ASKONCE || sc->code == KW_ASKCONN) {
    e->pwtype = sc->code == KW_ASKONCE ? UT_ASKONCE : UT_ASKCONN;
  } else if (sc->toklen > SECRETLEN) {
    invalidvalue(ls, true);
  } else {
    memcpy(e->secret, sc->token, sc->toklen);
    e->pwlen = uint8_t(sc->toklen);
  }
  // The token buffer held the secret as written.
  secure_zero(sc->token, TOKENSIZE);
  ls->secretgiven = !ls->error;
}

// storeuser(ls, ttype): store the finished entry as the clientside user or in
// the serverside user table.
void storeuser(linestate* ls, uint32_t ttype) {
  paramrec* prm = ls->ctx->paramrec;
  userent* e = &ls->ent;
  if (!ls->namegiven || !ls->secretgiven) {
    lineerror(ls, "** Error: Incomplete statement: ");
    return;
  }
  if (ls->ctx->dbglevel >= 3)
    printf("  To store: utype=%lu ulen=%lu uname=%.*s pwtype=%lu pwlen=%lu\n", (unsigned long)e->utype,
           (unsigned long)e->ulen, int(e->ulen), (const char*)e->uname, (unsigned long)e->pwtype,
           (unsigned long)e->pwlen);
  if (ttype == KW_CLIENTSIDE) {
    prm->cluser = *e;
    prm->clientside = 1;
    return;
  }
  if (prm->numusers >= MAXUSERS) {
    printf("** Serverside user table is full, username not stored: %.*s\n", int(e->ulen),
           (const char*)e->uname);
    refuse(ls);
    return;
  }
  if (ls->ctx->dbglevel >= 3) printf("  Stored to usertbl[%lu]\n", (unsigned long)prm->numusers);
  prm->usertbl[prm->numusers] = *e;
  prm->serverside = 1;
  prm->numusers++;
}

// dotunnel(ls): the rest of a TUNNEL statement: its type and keyword-value pairs.
void dotunnel(linestate* ls) {
  if (!next(ls, false)) return;
  uint32_t ttype = ls->sc.code;
  if (ttype != KW_OPTIONS && ttype != KW_CLIENTSIDE && ttype != KW_SERVERSIDE) {
    printf("** Error: invalid type of TUNNEL statement: %s\n", ls->sc.token);
    refuse(ls);
    return;
  }
  bool user = ttype != KW_OPTIONS;
  ls->namegiven = ls->secretgiven = false;
  ls->pending = user;
  secure_zero(&ls->ent, sizeof ls->ent);

  // Pairs until the end of the line or the first error; OPTIONS values take
  // effect one by one, so pairs before an error stay in force.
  while (!ls->error && next(ls, false)) {
    uint32_t kw = ls->sc.code;
    bool allowed = user ? (kw == KW_USERNAME || kw == KW_SECRET)
                        : (kw == KW_MINMSGLEN || kw == KW_MSGLENMULT || kw == KW_ENCRTYPE);
    if (!allowed) {
      // On a user statement the word is most often the second word of a
      // secret written without quotes: it is not shown.
      printf("** Error: invalid keyword %s on TUNNEL statement\n", user ? SECRETMASK : ls->sc.token);
      refuse(ls);
      ls->error = true;
      break;
    }
    // A secret may be quoted to hold blanks.
    if (!next(ls, kw == KW_SECRET)) {
      lineerror(ls, "** Error: missing value on TUNNEL statement: ");
      ls->error = true;
      break;
    }
    if (user)
      uservalue(ls, ttype, kw);
    else
      optionvalue(ls, kw);
  }
  if (ls->pending && !ls->error) storeuser(ls, ttype);
  secure_zero(&ls->ent, sizeof ls->ent);
}

// dofilter(ls): the rest of a FILTER statement: action and address.
void dofilter(linestate* ls) {
  paramrec* prm = ls->ctx->paramrec;
  // A rule that is dropped without a word lets in whom it should keep out.
  if (!next(ls, false)) return lineerror(ls, "** Error: Incomplete statement: ");
  if (prm->numfilt >= MAXFILT) {
    printf("** IP filter table is full, statement ignored: %s\n", ls->line);
    return refuse(ls);
  }
  uint8_t type;
  if (ls->sc.code == KW_ALLOW) {
    type = FILT_ALLOW;
  } else if (ls->sc.code == KW_DENY) {
    type = FILT_DENY;
  } else {
    printf("** Invalid keyword %s on FILTER statement\n", ls->sc.token);
    return refuse(ls);
  }
  // Only the third token counts; a statement without one stores nothing and says so.
  if (!next(ls, false)) return lineerror(ls, "** Error: Incomplete statement: ");
  if (ipfiltitem(prm, type, ls->sc.token, ls->sc.code, ls->ctx->dbglevel) != 0) return refuse(ls);
  // One address per statement: say so when the line holds more; the rule
  // itself stands, so the statement is not refused.
  if (next(ls, false)) {
    printf("** Warning: extra word %s on FILTER statement ignored\n", ls->sc.token);
    where(ls);
  }
}

// doline(ls, line): apply the statement of one line.
void doline(linestate* ls, const char* line) {
  ls->line = line;
  ls->sc.line = line;
  ls->sc.pos = 0;
  ls->error = ls->namegiven = ls->secretgiven = ls->pending = false;
  if (!next(ls, false)) return;
  switch (ls->sc.code) {
    case KW_TUNNEL:
      dotunnel(ls);
      break;
    case KW_FILTER:
      dofilter(ls);
      break;
    case KW_LIST:
      if (next(ls, false)) {
        if (ls->sc.code == KW_ON) ls->listing = true;
        if (ls->sc.code == KW_OFF) ls->listing = false;
      }
      break;
    default:
      printf("** Error: unknown statement in parameter file: %s\n", ls->sc.token);
      refuse(ls);
      break;
  }
}

}  // namespace

uint32_t readparamlines(bfreader* bf, const char* path, runctx* ctx) {
  char line[PARAMLINEMAX + 1];
  linestate ls;
  memset(&ls, 0, sizeof ls);
  ls.ctx = ctx;
  ls.path = path;

  for (;;) {
    // Gather one line up to its line feed; keep the first 800 characters.
    uint32_t n = 0, rc;
    bool any = false;
    uint8_t c;
    while ((rc = bfgetc(bf, &c)) == 0 && c != '\n') {
      any = true;
      if (n < PARAMLINEMAX) line[n++] = char(c);
    }
    line[n] = 0;
    ls.lineno++;
    if (rc == 2) {
      printf("** Error reading parameter file %s\n", path);
      refuse(&ls);
    }
    bool last = rc != 0;
    if (last && !any) break;

    // A zero byte ends the line; trailing blanks go.
    size_t len = strlen(line);
    while (len > 0 && line[len - 1] == ' ') line[--len] = 0;

    // List the line as read, unless the listing is off or the line is a LIST statement itself.
    bool listed = ls.listing && strncmp(line, "LIST", 4) != 0 && strncmp(line, "list", 4) != 0;
    if (ctx->dbglevel >= 1 || listed) printf("Param: %s\n", line);
    doline(&ls, line);
    if (last) break;
  }

  // The line, the token and the entry may have held a secret.
  uint32_t refused = ls.refused;
  secure_zero(line, sizeof line);
  secure_zero(&ls, sizeof ls);
  return refused;
}

uint32_t readparamfile(const char* path, runctx* ctx) {
  // Defaults first, also when there is no file.
  paramrec* prm = ctx->paramrec;
  secure_zero(prm, sizeof *prm);
  prm->encrtype = ENCR_RC4;
  prm->ctxsize = CTXSIZE_RC4;
  prm->minmsglen = 0;
  prm->msglenmult = 256;
  if (ctx->dbglevel >= 1)
    printf("Max filter statements: %lu\nMax serverside usernames: %lu\n", (unsigned long)MAXFILT,
           (unsigned long)MAXUSERS);
  if (path == nullptr) return 0;

  // Only a regular file of sane size: a FIFO would hold up the start, a
  // device such as /dev/zero would never end.
  uint8_t buf[PARAMBUFSIZE];
  bfreader bf;
  if (bfopen(&bf, path, buf, sizeof buf, BF_DROPCR) != 0) {
    char why[200];
    file_errtext(file_lasterror(), why, sizeof why);
    printf("** Error opening parameter file %s\n   (%s)\n", path, why);
    return 1;
  }
  if (bf.fsize > PARAMFILEMAX) {
    bfclose(&bf);
    printf("** Error opening parameter file %s\n   (larger than %lu bytes)\n", path, (unsigned long)PARAMFILEMAX);
    return 1;
  }
  uint32_t refused = readparamlines(&bf, path, ctx);
  bfclose(&bf);
  // The reader's buffer held the file's bytes, secrets included.
  secure_zero(buf, sizeof buf);
  return refused;
}
