#include "core/cmdline.h"

#include <cstdio>
#include <cstring>

#include "platform/net.h"

namespace {

// The usage text, one line per entry.
const char* const usagelines[] = {
    "Usage:  kevra options listenport connsite connport\n",
    "Options:\n",
    "  -1      Accept only 1 incoming connection.\n",
    "  -b=xxx  Bind: xxx is the IP address n.n.n.n or site name\n",
    "          of the TCP/IP interface on this machine on which\n",
    "          incoming connections are accepted. Can also be any\n",
    "          or 0.0.0.0 (means any), or localhost or 127.0.0.1\n",
    "          Default is -b=any\n",
    "  -buf=n  Buffer size for socket i/o. Default: -buf=8192\n",
    "          If n (number of bytes) is less than 512, 512 is used.\n",
    "          Maximum n is 200000.\n",
    "  -d or -d=n  Specifies the debugging level n. Higher n gives\n",
    "          more output. Default is 0 (no debug). -d implies 1.\n",
    "  -f=xxx  File: xxx is the name of a text file from which\n",
    "          parameter statements are read.\n",
    "  -t or -t=n  Trace: display socket data, first n bytes from\n",
    "          each socket read. Default n is 512. If tunnelling, it\n",
    "          is the decrypted data that is displayed.\n",
    "  -v      Version: display version and copyright info.\n",
    "  -w      Web: act as a relay for web traffic; the operands connsite and\n",
    "          connport are not used.\n",
    "For a detailed description, see file kevra.txt\n",
    "Example commands:\n",
    "  kevra -t -1 -b=localhost 2001 bbs.example.net 23\n",
    "  kevra 23 localhost 2001 -f=c:\\data\\kevraopt1.txt\n",
    "  kevra -w -f=c:\\data\\kevraopt2.txt 8000\n",
};

// "-x=" followed by at least one character: the rest, else null.
const char* valueof(const char* arg, const char* prefix) {
  size_t n = strlen(prefix);
  if (strncmp(arg, prefix, n) != 0 || arg[n] == '\0') return nullptr;
  return arg + n;
}

// A decimal option value; negative for text decnum refuses.
int optnum(const char* text) {
  size_t n = strlen(text);
  return decnum(text, n > 9 ? 10 : uint32_t(n));
}

// One option; 1 when it is a usage error.
uint32_t parseopt(const char* a, cmdopts* o) {
  const char* v;
  int n;
  if (strcmp(a, "-1") == 0) {
    o->acceptone = 1;
  } else if ((v = valueof(a, "-b="))) {
    o->bindaddr = v;
  } else if ((v = valueof(a, "-buf="))) {
    n = optnum(v);
    if (n < 0 || n > int(BUFSIZE_MAX)) {
      printf("** Invalid buf size option value: %s\n", v);
      return 1;
    }
    o->bufsize = uint32_t(n) < BUFSIZE_MIN ? BUFSIZE_MIN : uint32_t(n);
  } else if (strcmp(a, "-d") == 0) {
    o->dbglevel = 1;
  } else if ((v = valueof(a, "-d="))) {
    n = optnum(v);
    if (n < 0) {
      printf("** Invalid debug option level: %s\n", v);
      return 1;
    }
    o->dbglevel = uint32_t(n);
  } else if ((v = valueof(a, "-f="))) {
    o->paramfile = v;
  } else if (strcmp(a, "-t") == 0) {
    o->trace = 1;
  } else if ((v = valueof(a, "-t="))) {
    n = optnum(v);
    if (n < 0) {
      printf("** Invalid trace option value: %s\n", v);
      return 1;
    }
    o->trace = n > 0;
    if (n > 0) o->tracelen = uint32_t(n);
  } else if (strcmp(a, "-v") == 0 || strcmp(a, "--version") == 0) {
    o->version = 1;
  } else if (strcmp(a, "-h") == 0 || strcmp(a, "--help") == 0 || strcmp(a, "-?") == 0) {
    o->help = 1;
  } else if (strcmp(a, "-w") == 0) {
    o->web = 1;
  } else {
    printf("** Invalid option: %s\n", a);
    return 1;
  }
  return 0;
}

// A port parameter: 1 to 65535 over the whole text, else 0.
uint32_t portof(const char* text) {
  int n = optnum(text);
  return n >= 1 && n <= 65535 ? uint32_t(n) : 0;
}

}  // namespace

void printusage() {
  for (const char* line : usagelines) printf("%s", line);
}

void printversion() {
  printf("kevra, version 1.1 of 04aug2006\n");
  printf("Copyright (c) 2006-2026 the kevra developers\n");
}

uint32_t parsecmd(int argc, char** argv, cmdopts* o) {
  memset(o, 0, sizeof *o);
  o->bufsize = BUFSIZE_DEFAULT;
  o->tracelen = TRACELEN_DEFAULT;
  if (argc < 2) {
    printf("** Missing parameter(s) on command\n");
    return 1;
  }

  // Examine every argument in order; a fourth positional ends the scan.
  uint32_t usageerr = 0;
  for (int i = 1; i < argc; i++) {
    const char* a = argv[i];
    if (a[0] == '-') {
      usageerr |= parseopt(a, o);
      continue;
    }
    o->npos++;
    if (o->npos == 1 || o->npos == 3) {
      uint32_t port = portof(a);
      if (port == 0) {
        printf("** Invalid port number: %s\n", a);
        usageerr = 1;
      }
      (o->npos == 1 ? o->listenport : o->connport) = port;
    } else if (o->npos == 2) {
      o->connsite = a;
    } else {
      printf("** Too many parameters on command\n");
      usageerr = 1;
      break;
    }
  }

  if (o->version || o->dbglevel != 0) printversion();
  // Asked for the usage, or for the version alone: that is the answer.
  if (!usageerr && (o->help || (o->version && o->npos == 0))) {
    if (o->help) printusage();
    return CMD_ANSWERED;
  }
  if (o->npos == 0 || (!o->web && o->npos < 3)) {
    printf("** Missing parameter(s) on command\n");
    usageerr = 1;
  }
  return usageerr;
}

int decnum(const char* text, uint32_t len) {
  if (len < 1 || len > 9) return -2;
  uint32_t i = 0;
  while (i < len && text[i] == ' ') i++;
  if (i == len) return -1;
  int value = 0;
  for (; i < len; i++) {
    if (text[i] < '0' || text[i] > '9') return -2;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

namespace {

// A text of digits and dots as exactly four parts of 1 to 3 digits, each at
// most 255, with no leading zero unless the part is 0; -2 otherwise.
int dotted(const char* text, uint32_t* addr) {
  uint8_t octet[4];
  const char* p = text;
  for (int part = 0; part < 4; part++) {
    if (part > 0) {
      if (*p != '.') return -2;
      p++;
    }
    uint32_t value = 0, digits = 0;
    const char* start = p;
    while (*p >= '0' && *p <= '9') {
      if (++digits > 3) return -2;
      value = value * 10 + uint32_t(*p - '0');
      p++;
    }
    if (digits == 0 || value > 255) return -2;
    if (start[0] == '0' && value != 0) return -2;
    octet[part] = uint8_t(value);
  }
  if (*p != '\0') return -2;
  memcpy(addr, octet, 4);
  return 0;
}

}  // namespace

int resolve(const char* text, uint32_t* addr) {
  *addr = 0;
  if (text[0] == '\0' || text[0] == ' ') return -2;
  if (strspn(text, "0123456789.") == strlen(text)) return dotted(text, addr);

  // Anything else is a host name.
  uint32_t found = 0;
  int rc = net_lookup(text, &found);
  if (rc == 0) {
    *addr = found;
    return 0;
  }
  if (rc == NET_LOOKUP_NOTIPV4) return -5;
  if (rc == NETERR_HOST_NOT_FOUND) return -1;
  if (rc == NETERR_NOTINITIALISED) return -4;
  return -3;
}
