// A clock whose local time and tick count the test sets.
#ifndef KVX_TESTS_FAKES_FAKE_CLOCK_H_
#define KVX_TESTS_FAKES_FAKE_CLOCK_H_

#include <atomic>
#include <mutex>

#include "platform/clock.h"

namespace kvx {

class FakeClock final : public Clock {
 public:
  LocalTime Now() const override {
    std::scoped_lock lock(mutex_);
    return now_;
  }
  std::uint32_t TickCount() const override { return tick_; }

  void SetNow(const LocalTime& t) {
    std::scoped_lock lock(mutex_);
    now_ = t;
  }
  void SetTick(std::uint32_t tick) { tick_ = tick; }
  void Advance(std::uint32_t ms) { tick_ += ms; }

 private:
  mutable std::mutex mutex_;
  LocalTime now_{2010, 5, 25, 14, 3, 7, 0};
  std::atomic<std::uint32_t> tick_{0};
};

}  // namespace kvx

#endif  // KVX_TESTS_FAKES_FAKE_CLOCK_H_
