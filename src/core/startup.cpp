// Start-up: the command line, the run context, the parameter file, the
// listening socket; then the event loop, which never returns.
#include "core/startup.h"

#include <cstdio>
#include <cstring>

#include "common/log.h"
#include "common/paramrec.h"
#include "core/cmdline.h"
#include "core/loop.h"
#include "core/progexit.h"
#include "core/tables.h"
#include "params/paramfile.h"
#include "params/uprompt.h"
#include "platform/clock.h"
#include "platform/net.h"
#include "platform/proc.h"
#include "tunnel/records.h"

namespace {

// The records the main routine owns for the whole run.
runctx ctx;
paramrec prm;
srvent* servtbl[SRVTBL_MAX];
socent* soctbl[SOCTBL_MAX];
uint32_t numsrvent;
uint32_t numsoctbl;

// After a socket failure's line: its explanation, then end the program.
[[noreturn]] void sockfail(int err, sockh socn3, uint32_t code) {
  sockerrmsg(0, err);
  if (socn3 != NET_INVALID) net_close(socn3);
  progexit(code, &ctx);
}

// ipv6note(site): after a failed resolve, say why when the text is an IPv6
// address (hex digits, dots and at least two colons, maybe in brackets or
// with a zone after "%"), not a name that a colon and a port were added to.
void ipv6note(const char* site) {
  const char* colon = strchr(site, ':');
  size_t addrlen = strcspn(site, "%");
  if (colon && strchr(colon + 1, ':') && strspn(site, "0123456789abcdefABCDEF:.[]") == addrlen)
    printf("   (IPv6 addresses are not supported)\n");
}

}  // namespace

void kevramain(int argc, char** argv) {
  // Standard descriptors, broken pipes and line-buffered output come first:
  // the next line prints.
  proc_init();
  ctx.starttick = tickcount();
  ctx.paramrec = &prm;
  ctx.servtbl = servtbl;
  ctx.soctbl = soctbl;
  printf("kevra 1.1\n");

  cmdopts o;
  uint32_t cmd = parsecmd(argc, argv, &o);
  if (cmd == CMD_ANSWERED) progexit(EX_OK, &ctx);
  if (cmd != 0) {
    printusage();
    progexit(EX_USAGE, &ctx);
  }

  // 1. Settings into the run context.
  ctx.dbglevel = o.dbglevel;
  ctx.trace = o.trace;
  ctx.bufsize = o.bufsize;
  if (ctx.dbglevel != 0 && o.paramfile) printf("paramfile=|%s|\n", o.paramfile);

  // 2-3. Parameter file (defaults even without one), record options. A file
  // that is not applied whole ends the start here, after all its messages
  // and before any socket exists: a tunnel end that lost a user, a secret
  // or a filter rule must never serve as an open relay.
  uint32_t refused = readparamfile(o.paramfile, &ctx);
  if (o.paramfile && refused != 0) {
    printf("** kevra not started: %lu error%s in parameter file %s\n", (unsigned long)refused,
           refused == 1 ? "" : "s", o.paramfile);
    progexit(EX_PARAMFILE, &ctx);
  }
  if (reccheck(&ctx) != 0) progexit(EX_RECOPTS, &ctx);

  // 4-5. Socket layer.
  if (initwinsock22(0) != 0) {
    printf("** Unable to initialize Winsock 2.2\n");
    progexit(EX_WINSOCK, &ctx);
  }
  ctx.wsastarted = 1;
  if (ctx.dbglevel != 0) {
    printf("Using Winsock 2.2\n");
    printf("Using buffer size %lu\n", (unsigned long)ctx.bufsize);
    printf("Max entries in Server Table: %d\n", int(SRVTBL_MAX));
    printf("Max entries in Socket Table: %d\n", int(SOCTBL_MAX));
    printf("FD_SETSIZE for select(): %d\n", int(FDSETMAX));
  }

  // 6. Server site.
  loopctx lc{};
  lc.acceptone = o.acceptone;
  lc.web = o.web;
  lc.tracelen = o.tracelen;
  lc.numsoctbl = &numsoctbl;
  lc.numsrvent = &numsrvent;
  if (o.web) {
    lc.connsite = "(none)";
    lc.connport = 0;
    lc.siteaddr = 0;
  } else {
    lc.connsite = o.connsite;
    lc.connport = o.connport;
    int rc = resolve(o.connsite, &lc.siteaddr);
    if (rc != 0) {
      printf("** Unable to resolve site, resolve() rc=%d: %s\n", rc, o.connsite);
      ipv6note(o.connsite);
      progexit(EX_RESOLVE, &ctx);
    }
  }

  // 7. Bind address: none or "any" is every interface.
  uint32_t bindaddr = 0;
  if (o.bindaddr && strcmp(o.bindaddr, "any") != 0) {
    int rc = resolve(o.bindaddr, &bindaddr);
    if (rc != 0) {
      printf("** -b option: unable to resolve name, resolve() rc=%d: %s\n", rc, o.bindaddr);
      ipv6note(o.bindaddr);
      progexit(EX_BINDADDR, &ctx);
    }
  }
  if (ctx.dbglevel != 0) {
    char dotted[16];
    net_ntoa(bindaddr, dotted);
    printf("IP addr for bind(): %s\n", dotted);
  }

  // 8-10. The listening socket and its Socket Table entry.
  int err;
  sockh socn3 = net_socket();
  if (socn3 == NET_INVALID) {
    printf("** Unable to create socket socn3. Error %d from socket().\n", err = net_lasterror());
    sockfail(err, NET_INVALID, EX_SOCKET);
  }
  if (net_setnonblocking(socn3) != 0) {
    printf("** Error %d putting listen socket into nonblocking mode\n", err = net_lasterror());
    sockfail(err, socn3, EX_NONBLOCK);
  }
  uint32_t soci3 = 0;
  uint32_t rc = ptbladd(reinterpret_cast<void**>(soctbl), &numsoctbl, &soci3, SOCTBL_MAX,
                        sizeof(socent));
  if (rc != PTBL_OK) {
    printf("** Error: rc=%lu from ptbladd() for socn3\n", (unsigned long)rc);
    progexit(EX_SOCTBL, &ctx);
  }
  soctbl[soci3]->soc = socn3;
  soctbl[soci3]->stype = 1;

  // 11. Bind.
  if (net_bind(socn3, bindaddr, uint16_t(o.listenport)) != 0) {
    printf("** bind() error %d\n", err = net_lasterror());
    sockfail(err, socn3, EX_BIND);
  }

  // 12. Names and secrets to be typed once; console input that ends before
  // a value was typed leaves nothing to run with.
  if (uprompt(1, &ctx, nullptr, 0) != 0) progexit(EX_NOINPUT, &ctx);

  // 13-14. Listen and serve.
  if (net_listen(socn3, o.acceptone ? 1 : 20) != 0) {
    printf("** listen() error %d\n", err = net_lasterror());
    sockfail(err, socn3, EX_LISTEN);
  }
  printf("Listening for connections on port %lu, socn3=%u\n", (unsigned long)o.listenport, socn3);
  soctbl[soci3]->oper = OP_ACCEPT;
  lc.socn3 = socn3;
  lc.soci3 = soci3;
  lc.socn3closed = 0;
  numsrvent = 0;
  eventloop(&lc, &ctx);
}
