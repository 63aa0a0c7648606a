// The CmdAllow list: addresses, ranges, "*" and entries that are neither.
#include <gtest/gtest.h>

#include "server-core/addr_allow.h"

namespace {

TEST(AddrAllow, AddressesRangesAndBadEntries) {
  std::vector<std::string> bad;
  AddrAllowList l = ParseAddrAllowList(" 127.0.0.1,192.168.4.0/22 ,, 10.0.0.0/0x, 1.2.3, 256.1.1.1, 1.2.3.4/33", bad);
  EXPECT_FALSE(l.everyone);
  EXPECT_TRUE(AddrAllowed(l, 0x7F000001));
  EXPECT_FALSE(AddrAllowed(l, 0x7F000002));
  EXPECT_TRUE(AddrAllowed(l, 0xC0A80400));   // 192.168.4.0
  EXPECT_TRUE(AddrAllowed(l, 0xC0A807FF));   // 192.168.7.255
  EXPECT_FALSE(AddrAllowed(l, 0xC0A80800));  // 192.168.8.0
  EXPECT_EQ(bad, (std::vector<std::string>{"10.0.0.0/0x", "1.2.3", "256.1.1.1", "1.2.3.4/33"}));
}

TEST(AddrAllow, StarZeroPrefixAndEmpty) {
  std::vector<std::string> bad;
  EXPECT_TRUE(AddrAllowed(ParseAddrAllowList("*", bad), 0x08080808));
  EXPECT_TRUE(AddrAllowed(ParseAddrAllowList("9.9.9.9/0", bad), 0x08080808));
  EXPECT_FALSE(AddrAllowed(ParseAddrAllowList("", bad), 0x7F000001));
  EXPECT_TRUE(bad.empty());
}

}  // namespace
