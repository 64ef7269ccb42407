// The rate limit of the refusal warnings, driven by a fake clock.
#include "server/warning_limiter.h"

#include <gtest/gtest.h>

#include "fakes/fake_clock.h"

namespace kvx {
namespace {

TEST(WarningLimiterTest, OnePerAddressPerMinuteCountingTheOthers) {
  FakeClock clock;
  WarningLimiter limiter(clock);
  EXPECT_TRUE(limiter.Allow("127.0.0.2").write);
  EXPECT_FALSE(limiter.Allow("127.0.0.2").write);
  // Another address has its own minute.
  EXPECT_TRUE(limiter.Allow("::1").write);
  clock.Advance(59'999);
  EXPECT_FALSE(limiter.Allow("127.0.0.2").write);
  clock.Advance(1);
  const auto d = limiter.Allow("127.0.0.2");
  EXPECT_TRUE(d.write);
  EXPECT_EQ(d.held_back, 2u);
  EXPECT_FALSE(limiter.Allow("127.0.0.2").write);
  clock.Advance(60'000);
  EXPECT_EQ(limiter.Allow("127.0.0.2").held_back, 1u);
}

TEST(WarningLimiterTest, SurvivesTheTickWrap) {
  FakeClock clock;
  clock.SetTick(0xFFFFFFFFu - 10'000);
  WarningLimiter limiter(clock);
  EXPECT_TRUE(limiter.Allow("a").write);
  clock.Advance(30'000);  // wraps
  EXPECT_FALSE(limiter.Allow("a").write);
  clock.Advance(30'000);
  EXPECT_TRUE(limiter.Allow("a").write);
}

TEST(WarningLimiterTest, ManyAddressesCannotFloodTheLog) {
  FakeClock clock;
  WarningLimiter limiter(clock, 60'000, 3);
  EXPECT_TRUE(limiter.Allow("a").write);
  EXPECT_TRUE(limiter.Allow("b").write);
  EXPECT_TRUE(limiter.Allow("c").write);
  EXPECT_FALSE(limiter.Allow("d").write);
  clock.Advance(60'000);
  // The old keys have expired and make room.
  EXPECT_TRUE(limiter.Allow("d").write);
  EXPECT_TRUE(limiter.Allow("e").write);
}

}  // namespace
}  // namespace kvx
