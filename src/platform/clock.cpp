#include "platform/clock.h"

#include <time.h>

#include <chrono>

namespace kvx {

LocalTime SystemClock::Now() const {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm local{};
  localtime_r(&ts.tv_sec, &local);
  return LocalTime{local.tm_year + 1900,
                   local.tm_mon + 1,
                   local.tm_mday,
                   local.tm_hour,
                   local.tm_min,
                   local.tm_sec,
                   static_cast<int>(ts.tv_nsec / 1000000)};
}

std::uint32_t SystemClock::TickCount() const {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const auto ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
                  static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<std::uint32_t>(ms);
}

void SystemClock::WaitTicks(CondVar& wake, Mutex& mutex,
                            std::uint32_t ms) const {
  // The condition variable measures on the steady clock, which is
  // CLOCK_MONOTONIC as TickCount is.
  wake.WaitFor(mutex, std::chrono::milliseconds(ms));
}

}  // namespace kvx
