// The client allow-list: parsing its items and matching addresses.
#include "server/allow_list.h"

#include <gtest/gtest.h>

namespace kvx {
namespace {

asio::ip::address A(const char* text) { return asio::ip::make_address(text); }

TEST(AllowListTest, EmptyListAllowsEveryone) {
  for (const char* text : {"", "  ", ",, \r\n\t,"}) {
    AllowList list;
    ASSERT_TRUE(list.Parse(text).ok) << text;
    EXPECT_TRUE(list.empty()) << text;
    EXPECT_TRUE(list.Allows(A("203.0.113.9"))) << text;
    EXPECT_TRUE(list.Allows(A("2001:db8::1"))) << text;
  }
}

TEST(AllowListTest, MatchesAddressesAndPrefixes) {
  AllowList list;
  ASSERT_TRUE(list.Parse("127.0.0.2, 10.1.0.0/16\t192.168.7.128/25\r\n"
                         "::1,2001:db8:ab00::/40 172.16.5.9/32")
                  .ok);
  EXPECT_EQ(list.size(), 6u);
  struct Case {
    const char* address;
    bool allowed;
  } cases[] = {
      {"127.0.0.2", true},
      {"127.0.0.1", false},
      {"127.0.0.3", false},
      // CIDR boundaries.
      {"10.1.0.0", true},
      {"10.1.255.255", true},
      {"10.0.255.255", false},
      {"10.2.0.0", false},
      {"192.168.7.128", true},
      {"192.168.7.255", true},
      {"192.168.7.127", false},
      {"172.16.5.9", true},
      {"172.16.5.8", false},
      // IPv6.
      {"::1", true},
      {"::2", false},
      {"2001:db8:ab00::", true},
      {"2001:db8:abff:ffff::1", true},
      {"2001:db8:ac00::", false},
      {"2001:db8:aaff:ffff:ffff:ffff:ffff:ffff", false},
      // An IPv4 client seen by a dual-stack listener.
      {"::ffff:10.1.2.3", true},
      {"::ffff:10.2.2.3", false},
      {"::ffff:127.0.0.2", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(list.Allows(A(c.address)), c.allowed) << c.address;
  }
}

TEST(AllowListTest, PrefixEdges) {
  struct Case {
    const char* list;
    const char* address;
    bool allowed;
  } cases[] = {
      {"0.0.0.0/0", "203.0.113.9", true},
      {"0.0.0.0/0", "2001:db8::1", false},  // all of IPv4, not IPv6
      {"::/0", "2001:db8::1", true},
      {"10.0.0.1/8", "10.200.0.1", true},  // host bits beyond the prefix
      {"10.0.0.0/7", "11.255.255.255", true},
      {"10.0.0.0/7", "12.0.0.0", false},
      {"::ffff:10.0.0.0/104", "10.9.9.9", true},  // mapped form of an IPv4
      {"2001:db8::/128", "2001:db8::", true},
      {"2001:db8::/128", "2001:db8::1", false},
  };
  for (const auto& c : cases) {
    AllowList list;
    ASSERT_TRUE(list.Parse(c.list).ok) << c.list;
    EXPECT_EQ(list.Allows(A(c.address)), c.allowed)
        << c.list << " " << c.address;
  }
}

TEST(AllowListTest, NamesTheFirstInvalidItemAndStaysEmpty) {
  struct Case {
    const char* list;
    const char* bad;
  } cases[] = {
      {"10.0.0.1, gateway.example", "gateway.example"},
      {"10.0.0.256", "10.0.0.256"},
      {"10.0.0", "10.0.0"},
      {"10.0.0.0/33", "10.0.0.0/33"},
      {"10.0.0.0/", "10.0.0.0/"},
      {"10.0.0.0/-1", "10.0.0.0/-1"},
      {"10.0.0.0/8/8", "10.0.0.0/8/8"},
      {"10.0.0.0/ 8", "10.0.0.0/"},
      {"10.0.0.0/0x8", "10.0.0.0/0x8"},
      {"::1/129", "::1/129"},
      {"fe80::1%eth0", "fe80::1%eth0"},
      {"1.2.3.4;5.6.7.8", "1.2.3.4;5.6.7.8"},
      {"::1 :::1", ":::1"},
      {"/8", "/8"},
  };
  for (const auto& c : cases) {
    AllowList list;
    const AllowList::ParseResult r = list.Parse(c.list);
    EXPECT_FALSE(r.ok) << c.list;
    EXPECT_EQ(r.bad_item, c.bad) << c.list;
    EXPECT_TRUE(list.empty()) << c.list;
  }
}

TEST(AllowListTest, AFailedParseReplacesAnEarlierList) {
  AllowList list;
  ASSERT_TRUE(list.Parse("10.0.0.0/8").ok);
  ASSERT_FALSE(list.Parse("10.0.0.0/8 nonsense").ok);
  // Empty again: the caller refuses to listen, it never runs on a half list.
  EXPECT_TRUE(list.empty());
}

}  // namespace
}  // namespace kvx
