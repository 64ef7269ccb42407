// The ReceiveTimeout rule: only an incomplete frame held too long counts.
#include "server/receive_timeout.h"

#include <gtest/gtest.h>

#include <string>

namespace kvx {
namespace {

TEST(ReceiveTimeoutTest, IncompleteFrameIsASohWithoutEotAfterIt) {
  struct Case {
    std::string buffer;
    bool incomplete;
  } cases[] = {
      {"", false},
      {"junk without a frame start", false},
      {"\x01", true},
      {"\x01"
       "12\x02QUJD",
       true},
      {"\x01"
       "4\x02QUJD\x04",
       false},
      {"\x04\x04 stray\x01"
       "4\x02QU",
       true},  // EOT only before the SOH
      {"noise\x01"
       "4\x02QUJD\x04 tail",
       false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(HoldsIncompleteFrame(c.buffer), c.incomplete) << c.buffer;
  }
}

TEST(ReceiveTimeoutTest, OffWhenZeroOrNegative) {
  for (const int seconds : {0, -3}) {
    ReceiveTimeout rule(seconds);
    rule.Observe(
        "\x01"
        "12",
        false, 0);
    EXPECT_FALSE(rule.enabled());
    EXPECT_FALSE(rule.MillisecondsLeft(1'000'000));
    EXPECT_FALSE(rule.Expired(1'000'000));
  }
}

TEST(ReceiveTimeoutTest, HalfAFrameExpiresAfterTheLimit) {
  ReceiveTimeout rule(2);
  rule.Observe(
      "\x01"
      "12\x02",
      false, 1000);
  EXPECT_EQ(rule.MillisecondsLeft(1000), 2000u);
  // More bytes of the same frame do not restart the clock.
  rule.Observe(
      "\x01"
      "12\x02QUJD",
      false, 2500);
  EXPECT_FALSE(rule.Expired(2999));
  EXPECT_TRUE(rule.Expired(3000));
  EXPECT_EQ(rule.MillisecondsLeft(3500), 0u);
}

TEST(ReceiveTimeoutTest, IdleAndBusyConnectionsNeverExpire) {
  ReceiveTimeout idle(2);
  idle.Observe("", false, 0);
  EXPECT_FALSE(idle.MillisecondsLeft(10'000'000));

  // A busy connection: every piece completes the frame before and starts
  // the next one; the clock restarts with each frame taken.
  ReceiveTimeout busy(2);
  std::uint32_t now = 0;
  for (int i = 0; i < 10; ++i, now += 1500) {
    busy.Observe(
        "\x01"
        "8\x02QUJD",
        true, now);
    EXPECT_FALSE(busy.Expired(now + 1500)) << i;
  }
  // A frame that was answered leaves nothing pending.
  busy.Observe("", true, now);
  EXPECT_FALSE(busy.Expired(now + 100'000));
}

TEST(ReceiveTimeoutTest, WorksAcrossTheTickWrap) {
  ReceiveTimeout rule(2);
  rule.Observe("\x01", false, 0xFFFFFFFFu - 500);
  EXPECT_FALSE(rule.Expired(1000));
  EXPECT_TRUE(rule.Expired(1500));
}

}  // namespace
}  // namespace kvx
