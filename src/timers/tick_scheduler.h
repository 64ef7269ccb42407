// The tick source of the timer list: a periodic timer whose ticks the
// service thread delivers between control requests.
#ifndef KVX_TIMERS_TICK_SCHEDULER_H_
#define KVX_TIMERS_TICK_SCHEDULER_H_

#include <cstdint>

namespace kvx {

// Implemented by the service thread; used only on that thread.
class TickScheduler {
 public:
  virtual ~TickScheduler() = default;
  // Starts, or restarts, ticks every `period_ms` milliseconds; the next tick
  // comes one period from now. Returns false when no tick source can be
  // made (the timer list then raises "Not enough timers available").
  virtual bool StartTicks(std::uint32_t period_ms) = 0;
  // Stops the ticks; none is delivered until StartTicks is called again.
  virtual void StopTicks() = 0;
};

}  // namespace kvx

#endif  // KVX_TIMERS_TICK_SCHEDULER_H_
