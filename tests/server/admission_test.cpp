// Admission of connections under the limits in total and per client.
#include "server/admission.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace kvx {
namespace {

using Verdict = ConnectionLimits::Verdict;

asio::ip::address A(const char* text) { return asio::ip::make_address(text); }

TEST(ConnectionLimitsTest, RefusesTheConnectionAfterTheLimitPerClient) {
  ConnectionLimits limits(0, 2);
  ConnectionSlot a1, a2, a3, b1;
  EXPECT_EQ(limits.Admit(A("127.0.0.2"), a1), Verdict::kAdmitted);
  EXPECT_EQ(limits.Admit(A("127.0.0.2"), a2), Verdict::kAdmitted);
  EXPECT_EQ(limits.Admit(A("127.0.0.2"), a3), Verdict::kClientLimit);
  EXPECT_FALSE(a3.held());
  // The mapped form is the same client.
  EXPECT_EQ(limits.Admit(A("::ffff:127.0.0.2"), a3), Verdict::kClientLimit);
  EXPECT_EQ(limits.Admit(A("127.0.0.3"), b1), Verdict::kAdmitted);
  EXPECT_TRUE(a1.held());
  EXPECT_TRUE(a2.held());
  EXPECT_EQ(limits.of(A("127.0.0.2")), 2);
  EXPECT_EQ(limits.total(), 3);
  // A closed connection frees its place.
  a1.Release();
  EXPECT_EQ(limits.Admit(A("127.0.0.2"), a3), Verdict::kAdmitted);
}

TEST(ConnectionLimitsTest, RefusesTheConnectionAfterTheTotalLimit) {
  ConnectionLimits limits(3, 0);
  std::vector<ConnectionSlot> slots(3);
  const char* clients[] = {"127.0.0.2", "::1", "127.0.0.2"};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(limits.Admit(A(clients[i]), slots[i]), Verdict::kAdmitted) << i;
  }
  ConnectionSlot extra;
  EXPECT_EQ(limits.Admit(A("127.0.0.9"), extra), Verdict::kTotalLimit);
  EXPECT_EQ(limits.total(), 3);
  slots.pop_back();  // destroyed: released
  EXPECT_EQ(limits.Admit(A("127.0.0.9"), extra), Verdict::kAdmitted);
}

TEST(ConnectionLimitsTest, TotalLimitWinsWhenBothAreReached) {
  ConnectionLimits limits(1, 1);
  ConnectionSlot first, second;
  ASSERT_EQ(limits.Admit(A("::1"), first), Verdict::kAdmitted);
  EXPECT_EQ(limits.Admit(A("::1"), second), Verdict::kTotalLimit);
}

TEST(ConnectionLimitsTest, NoLimitsAdmitEveryone) {
  for (const std::int32_t off : {0, -1}) {
    ConnectionLimits limits(off, off);
    std::vector<ConnectionSlot> slots(100);
    for (auto& s : slots) {
      EXPECT_EQ(limits.Admit(A("127.0.0.2"), s), Verdict::kAdmitted);
    }
    EXPECT_EQ(limits.total(), 100);
  }
}

TEST(ConnectionLimitsTest, MovedSlotsReleaseOnce) {
  ConnectionLimits limits(0, 1);
  ConnectionSlot a;
  ASSERT_EQ(limits.Admit(A("127.0.0.2"), a), Verdict::kAdmitted);
  ConnectionSlot b(std::move(a));
  EXPECT_FALSE(a.held());
  a.Release();  // nothing: moved from
  EXPECT_EQ(limits.total(), 1);
  ConnectionSlot c;
  c = std::move(b);
  EXPECT_EQ(limits.total(), 1);
  c = ConnectionSlot();
  EXPECT_EQ(limits.total(), 0);
  EXPECT_EQ(limits.of(A("127.0.0.2")), 0);
}

TEST(ConnectionLimitsTest, CountsStayExactUnderConcurrentUse) {
  ConnectionLimits limits(0, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&limits, t] {
      const auto client = asio::ip::make_address_v4(0x7F000002u + t % 2);
      for (int i = 0; i < 2000; ++i) {
        ConnectionSlot slot;
        limits.Admit(client, slot);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(limits.total(), 0);
  EXPECT_EQ(limits.of(A("127.0.0.2")), 0);
}

}  // namespace
}  // namespace kvx
