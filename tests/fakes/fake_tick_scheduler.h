// A tick source that only records what the timer list asked of it; the
// test calls Tick() on the list itself.
#ifndef KVX_TESTS_FAKES_FAKE_TICK_SCHEDULER_H_
#define KVX_TESTS_FAKES_FAKE_TICK_SCHEDULER_H_

#include <cstdint>

#include "timers/tick_scheduler.h"

namespace kvx {

class FakeTickScheduler final : public TickScheduler {
 public:
  bool StartTicks(std::uint32_t period_ms) override {
    ++starts;
    if (refuse) return false;
    running = true;
    period = period_ms;
    return true;
  }
  void StopTicks() override { running = false; }

  bool refuse = false;  // StartTicks fails while set
  bool running = false;
  std::uint32_t period = 0;  // of the last successful start
  int starts = 0;
};

}  // namespace kvx

#endif  // KVX_TESTS_FAKES_FAKE_TICK_SCHEDULER_H_
