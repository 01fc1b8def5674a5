#include "params/ipfilter.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "params/scanner.h"

namespace {

// ip(text): the address as the socket interface holds it, network byte order.
uint32_t ip(const char* text) {
  in_addr a{};
  EXPECT_EQ(inet_pton(AF_INET, text, &a), 1) << text;
  return a.s_addr;
}

// filters(items): a parameter record holding the items, each "allow x" or
// "deny x", stored the way the statement reader stores them.
std::unique_ptr<paramrec> filters(std::initializer_list<const char*> items) {
  auto prm = std::make_unique<paramrec>();
  memset(prm.get(), 0, sizeof(paramrec));
  for (const char* item : items) {
    std::string s = item;
    size_t blank = s.find(' ');
    uint8_t type = s.substr(0, blank) == "allow" ? FILT_ALLOW : FILT_DENY;
    std::string addr = s.substr(blank + 1);
    EXPECT_EQ(ipfiltitem(prm.get(), type, addr.c_str(), kwlookup(addr.c_str(), uint32_t(addr.size())), 0), 0u)
        << item;
  }
  return prm;
}

}  // namespace

TEST(IpFilter, AddressPrefixes) {
  struct {
    const char* token;
    uint8_t len;
    uint32_t addr;
  } valid[] = {
      {"192.168.1.2", 4, 0x0201A8C0}, {"192.168", 2, 0x0000A8C0}, {"010.1", 2, 0x0000010A},
      {"10.1.", 2, 0x0000010A},       {"0", 1, 0},                {"255.255.255.255", 4, 0xFFFFFFFF},
      {"1.2.3.4.", 4, 0x04030201},    {"127", 1, 0x7F},           {"000.000.000.001", 4, 0x01000000},
  };
  for (const auto& v : valid) {
    uint32_t addr = 1;
    uint8_t len = 9;
    EXPECT_EQ(filtparse(v.token, &addr, &len), 0u) << v.token;
    EXPECT_EQ(len, v.len) << v.token;
    EXPECT_EQ(addr, v.addr) << v.token;
  }
  for (const char* bad : {"256.1", "1..2", ".1", "1.2.3.4.5", "1.2.3.4/24", "1000", "al", "", ".", "1.2.3.4..",
                          "0001", "1.-2", "10.1..", "1.2.3.999", " 1", "1 ", "1,2", "all"}) {
    uint32_t addr = 1;
    uint8_t len = 9;
    EXPECT_EQ(filtparse(bad, &addr, &len), 1u) << bad;
    EXPECT_EQ(addr, 0u) << bad;
    EXPECT_EQ(len, 0u) << bad;
  }
}

TEST(IpFilter, ItemsAreStoredPrintedOrRefused) {
  auto prm = filters({});
  fflush(stdout);
  testing::internal::CaptureStdout();
  EXPECT_EQ(ipfiltitem(prm.get(), FILT_DENY, "192.168.1.2", KW_NONE, 3), 0u);
  EXPECT_EQ(ipfiltitem(prm.get(), FILT_ALLOW, "ANY", KW_ALL, 3), 0u);
  EXPECT_EQ(ipfiltitem(prm.get(), FILT_ALLOW, "256.1", KW_NONE, 3), 1u);
  EXPECT_EQ(ipfiltitem(prm.get(), FILT_ALLOW, "10.1", KW_NONE, 2), 0u);
  fflush(stdout);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "  IP addr filter item: index=0 type=2 len=4 value=0x0201A8C0\n"
            "  IP addr filter item: index=1 type=1 len=0 value=0x00000000\n"
            "** Invalid IP addr specification 256.1 in FILTER statement\n");
  ASSERT_EQ(prm->numfilt, 3u);
  EXPECT_EQ(prm->filtlen[2], 2);
  EXPECT_EQ(prm->filtaddr[2], 0x010Au);
  EXPECT_EQ(prm->filttype[2], FILT_ALLOW);

  // A full table takes nothing more.
  prm->numfilt = MAXFILT;
  EXPECT_EQ(ipfiltitem(prm.get(), FILT_ALLOW, "1", KW_NONE, 0), 2u);
  EXPECT_EQ(prm->numfilt, MAXFILT);
}

TEST(IpFilter, FirstMatchingItemDecides) {
  // No items: every client.
  auto prm = filters({});
  EXPECT_TRUE(ipfilter(ip("10.2.0.1"), prm.get()));

  prm = filters({"allow 10.1", "deny all"});
  EXPECT_TRUE(ipfilter(ip("10.1.7.9"), prm.get()));
  EXPECT_FALSE(ipfilter(ip("10.2.0.1"), prm.get()));
  EXPECT_FALSE(ipfilter(ip("1.10.0.0"), prm.get()));   // octets compare in order

  prm = filters({"deny 10.1.2.3", "allow 10.1", "deny all"});
  EXPECT_FALSE(ipfilter(ip("10.1.2.3"), prm.get()));
  EXPECT_TRUE(ipfilter(ip("10.1.2.4"), prm.get()));
  EXPECT_FALSE(ipfilter(ip("11.0.0.1"), prm.get()));

  prm = filters({"allow ALL", "deny 10", "deny any"});
  EXPECT_TRUE(ipfilter(ip("10.0.0.1"), prm.get()));
  EXPECT_TRUE(ipfilter(ip("8.8.8.8"), prm.get()));

  prm = filters({"deny 127"});
  EXPECT_FALSE(ipfilter(ip("127.0.0.1"), prm.get()));
  EXPECT_FALSE(ipfilter(ip("127.255.1.2"), prm.get()));
  EXPECT_TRUE(ipfilter(ip("128.0.0.1"), prm.get()));
  EXPECT_TRUE(ipfilter(ip("10.127.0.1"), prm.get()));

  prm = filters({"deny 192.168.1.2", "allow 192.168.1"});
  EXPECT_FALSE(ipfilter(ip("192.168.1.2"), prm.get()));
  EXPECT_TRUE(ipfilter(ip("192.168.1.3"), prm.get()));
  EXPECT_TRUE(ipfilter(ip("192.168.2.2"), prm.get()));   // no match allows
}
