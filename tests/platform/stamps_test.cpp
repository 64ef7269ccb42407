// File and datagram stamps.
#include "platform/stamps.h"

#include <gtest/gtest.h>

namespace kvx {
namespace {

TEST(StampTest, FormatsFileAndDatagramStamps) {
  EXPECT_EQ(FileStamp({2010, 5, 25, 14, 3, 7, 999}), "2505201014030757");
  EXPECT_EQ(FileStamp({2010, 12, 9, 8, 5, 42, 0}), "091220100805421242");
  EXPECT_EQ(FileStamp({2010, 1, 1, 0, 0, 0, 0}), "0101201000000010");
  EXPECT_EQ(DatagramStamp({2010, 5, 25, 14, 3, 7, 0}), "20100525140307");
  EXPECT_EQ(DatagramStamp({2026, 12, 9, 8, 5, 42, 0}), "20261209080542");
}

}  // namespace
}  // namespace kvx
