// A test fixture with a run context, default parameters, both tables and a
// loopback listener that hands out accepted sockets.
#pragma once
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/tables.h"
#include "platform/net.h"
#include "support/harness.h"

// A run context with default parameters and empty tables, and a loopback
// listener to make accepted sockets from.
class Conn : public testing::Test {
 protected:
  void SetUp() override {
    uint16_t granted;
    ASSERT_EQ(net_startup(2, 2, &granted), 0);
    memset(&ctx, 0, sizeof ctx);
    memset(&prm, 0, sizeof prm);
    prm.encrtype = ENCR_RC4;
    prm.ctxsize = CTXSIZE_RC4;
    prm.msglenmult = 256;
    ctx.paramrec = &prm;
    ctx.servtbl = servtbl;
    ctx.soctbl = soctbl;
    ctx.bufsize = 1000;
    lfd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(::bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(lfd, 64), 0);
    ::getsockname(lfd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
  }
  void TearDown() override {
    for (uint32_t j = 0; j < SRVTBL_MAX; j++)
      if (servtbl[j]) freesrvent(j, &ctx, servtbl, &numsrvent, soctbl, &numsoctbl);
    for (uint32_t i = 0; i < SOCTBL_MAX; i++) free(soctbl[i]);
    for (int fd : clients) ::close(fd);
    ::close(lfd);
    net_cleanup();
  }

  // A client connected to the listener, and the accepted socket.
  uint32_t accepted() {
    int c = harness::connect_to(port);
    clients.push_back(c);
    return uint32_t(::accept(lfd, nullptr, nullptr));
  }

  uint32_t add(uint32_t socnew, uint32_t* idx, std::string* out) {
    fflush(stdout);
    testing::internal::CaptureStdout();
    uint32_t rc = addsrvent(socnew, &ctx, servtbl, &numsrvent, idx, soctbl, &numsoctbl);
    fflush(stdout);
    *out = testing::internal::GetCapturedStdout();
    return rc;
  }

  std::string freeconn(uint32_t idx) {
    fflush(stdout);
    testing::internal::CaptureStdout();
    freesrvent(idx, &ctx, servtbl, &numsrvent, soctbl, &numsoctbl);
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
  }

  runctx ctx;
  paramrec prm;
  srvent* servtbl[SRVTBL_MAX] = {};
  socent* soctbl[SOCTBL_MAX] = {};
  uint32_t numsrvent = 0, numsoctbl = 0;
  int lfd = -1;
  uint16_t port = 0;
  std::vector<int> clients;
};
