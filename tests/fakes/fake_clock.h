// A clock whose local time and tick count the test sets.
#ifndef KVX_TESTS_FAKES_FAKE_CLOCK_H_
#define KVX_TESTS_FAKES_FAKE_CLOCK_H_

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>

#include "platform/clock.h"

namespace kvx {

// Time stands still until the test moves it. A thread in WaitTicks waits
// until it is notified or the clock is advanced, however far, and then
// returns for its caller to look at the tick count.
class FakeClock final : public Clock {
 public:
  LocalTime Now() const override {
    std::scoped_lock lock(mutex_);
    return now_;
  }
  std::uint32_t TickCount() const override { return tick_; }

  void WaitTicks(CondVar& wake, Mutex& mutex, std::uint32_t ms) const
      REQUIRES(mutex) override {
    if (ms == 0) return;
    const std::uint32_t start = tick_;
    {
      std::scoped_lock waiters_lock(waiters_mutex_);
      waiters_.insert(&wake);
    }
    // Advance notifies without the caller's mutex (taking it there would
    // order the two mutexes both ways), so a notification falling between
    // this test and the wait is lost; the short real wait bounds that case.
    if (tick_ == start) wake.WaitFor(mutex, kLostNotificationBound);
    std::scoped_lock waiters_lock(waiters_mutex_);
    waiters_.erase(waiters_.find(&wake));
  }

  void SetNow(const LocalTime& t) {
    std::scoped_lock lock(mutex_);
    now_ = t;
  }
  void SetTick(std::uint32_t tick) {
    tick_ = tick;
    WakeWaiters();
  }
  void Advance(std::uint32_t ms) {
    tick_ += ms;
    WakeWaiters();
  }

 private:
  static constexpr std::chrono::milliseconds kLostNotificationBound{20};

  void WakeWaiters() {
    std::scoped_lock lock(waiters_mutex_);
    for (CondVar* waiter : waiters_) waiter->SignalAll();
  }

  mutable std::mutex mutex_;
  LocalTime now_{2010, 5, 25, 14, 3, 7, 0};
  std::atomic<std::uint32_t> tick_{0};
  mutable std::mutex waiters_mutex_;
  mutable std::multiset<CondVar*> waiters_;  // waiters_mutex_
};

}  // namespace kvx

#endif  // KVX_TESTS_FAKES_FAKE_CLOCK_H_
