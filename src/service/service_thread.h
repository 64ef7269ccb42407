// The service thread: runs the start handler, every control request and
// every timer tick strictly one at a time, in arrival order.
#ifndef KVX_SERVICE_SERVICE_THREAD_H_
#define KVX_SERVICE_SERVICE_THREAD_H_

#include <atomic>
#include <cstdint>
#include <deque>
#include <optional>

#include "platform/clock.h"
#include "platform/mutex.h"
#include "platform/service_notifier.h"
#include "platform/worker_progress.h"
#include "timers/tick_scheduler.h"

namespace kvx {

class EventSink;

// The lifecycle handlers the service thread calls. A handler sets `flag`
// (preset true) to false to refuse the request; an exception it raises is
// written as "Service failed on <action>: <message>".
class ServiceHandlers {
 public:
  virtual ~ServiceHandlers() = default;
  virtual void ServiceStart(bool& started) = 0;
  virtual void ServiceStop(bool& stopped) = 0;
  virtual void ServicePause(bool& paused) = 0;
  virtual void ServiceContinue(bool& continued) = 0;
  virtual void ServiceShutdown() = 0;
  // Reload request (SIGHUP): files that may be replaced while running are
  // read again. Writes its own entry; the state does not change.
  virtual void ServiceReload() {}
  // A tick of the timer list is due. Must not throw.
  virtual void TimerTick() = 0;
};

// The timer list's tick source, timed by the tick count of `clock`.
// Confined to the service thread: the timer list calls it from ServiceStart
// and from timer handlers, and the service thread reads it between
// requests.
class ServiceTickSource final : public TickScheduler {
 public:
  // `clock` must outlive the source.
  explicit ServiceTickSource(const Clock& clock) : clock_(clock) {}
  ServiceTickSource(const ServiceTickSource&) = delete;
  ServiceTickSource& operator=(const ServiceTickSource&) = delete;

  // Periods above 2^31 - 1 ms (24.8 days) are cut to that: tick counts wrap
  // at 2^32, and a later moment must stay distinguishable from a past one.
  bool StartTicks(std::uint32_t period_ms) override;
  void StopTicks() override;

  // Milliseconds until the next tick is due (0: due now), when ticking.
  std::optional<std::uint32_t> MillisecondsLeft() const;
  // Called after a delivered tick: the next one comes one period from now,
  // unless the tick's handlers restarted or stopped the source.
  void TickDelivered(std::uint64_t generation_before);
  std::uint64_t generation() const { return generation_; }
  const Clock& clock() const { return clock_; }

 private:
  const Clock& clock_;
  std::optional<std::uint32_t> next_;  // tick count the next tick is due at
  std::uint32_t period_ = 0;
  std::uint64_t generation_ = 0;  // advanced by every Start/StopTicks
};

// DESIGN: control requests arrive from the signal thread through Post() and
// wait in a queue; the service thread sleeps on a condition variable until
// a request arrives or, unless the service is paused, the next tick is due
// by the tick source's clock (Clock::WaitTicks).
// A paused service therefore handles control requests but no ticks, and an
// event that fell due during the pause runs once at the first tick after
// the continue. Status reports follow every state change.
class ServiceThread {
 public:
  // All references must outlive the service thread.
  ServiceThread(ServiceHandlers& handlers, ServiceTickSource& ticks,
                ServiceNotifier& notifier, EventSink& events);
  ServiceThread(const ServiceThread&) = delete;
  ServiceThread& operator=(const ServiceThread&) = delete;

  // Thread-safe: queues a control code for the service thread.
  void Post(int control_code);

  // Runs the service on the calling thread until stop or shutdown; returns
  // false when ServiceStart raised or refused (the service never ran).
  bool Run();

  // Thread-safe: the last state reported.
  ServiceState state() const { return state_.load(); }

  // Begun and finished for the start handler, every request and every tick;
  // idle while waiting for the next. Read by the watchdog.
  const WorkerProgress& progress() const { return progress_; }

 private:
  // Returns true when the request ends the loop.
  bool Handle(int control_code);
  void Report(ServiceState state);
  std::optional<int> WaitForRequest();
  // The next request already queued, without waiting.
  std::optional<int> NextQueuedRequest();

  ServiceHandlers& handlers_;
  ServiceTickSource& ticks_;
  ServiceNotifier& notifier_;
  EventSink& events_;
  // Written by the service thread only.
  std::atomic<ServiceState> state_{ServiceState::kStopped};
  WorkerProgress progress_;

  Mutex mutex_;
  CondVar wake_;
  std::deque<int> requests_ GUARDED_BY(mutex_);
};

}  // namespace kvx

#endif  // KVX_SERVICE_SERVICE_THREAD_H_
