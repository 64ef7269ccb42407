// The clock interface: local wall time for stamps, a monotonic millisecond
// tick for the timer list.
#ifndef KVX_PLATFORM_CLOCK_H_
#define KVX_PLATFORM_CLOCK_H_

#include <cstdint>

#include "platform/mutex.h"

namespace kvx {

struct LocalTime {
  int year = 1970;
  int month = 1;  // 1..12
  int day = 1;    // 1..31
  int hour = 0;   // 0..23
  int minute = 0;
  int second = 0;
  int millisecond = 0;
};

// Thread-safe: every method may be called from any thread.
class Clock {
 public:
  virtual ~Clock() = default;
  // The current local date and time.
  virtual LocalTime Now() const = 0;
  // Milliseconds of a monotonic clock, wrapping at 2^32.
  virtual std::uint32_t TickCount() const = 0;
  // Waits until `wake` is notified or until `ms` milliseconds of TickCount()
  // have passed, with `lock` (which holds the mutex of `wake`) released
  // meanwhile. May return early: the caller tests its condition and the
  // tick count again.
  virtual void WaitTicks(CondVar& wake, Mutex& mutex, std::uint32_t ms) const
      REQUIRES(mutex) = 0;
};

// The real clock (localtime_r, CLOCK_MONOTONIC).
class SystemClock final : public Clock {
 public:
  LocalTime Now() const override;
  std::uint32_t TickCount() const override;
  void WaitTicks(CondVar& wake, Mutex& mutex, std::uint32_t ms) const
      REQUIRES(mutex) override;
};

}  // namespace kvx

#endif  // KVX_PLATFORM_CLOCK_H_
