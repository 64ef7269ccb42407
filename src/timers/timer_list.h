// The timer list: one periodic tick source serving a list of named events,
// each with its own interval.
#ifndef KVX_TIMERS_TIMER_LIST_H_
#define KVX_TIMERS_TIMER_LIST_H_

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "timers/tick_scheduler.h"

namespace kvx {

class TTimerList;

// One event of a timer list. Made and owned by its list (TTimerList::Add);
// the reference stays valid for the list's life. Used on the service thread
// only, like its list.
class TTimerEvent {
 public:
  using TimerHandler = std::function<void(TTimerEvent& sender)>;

  TTimerEvent(const TTimerEvent&) = delete;
  TTimerEvent& operator=(const TTimerEvent&) = delete;

  const std::string& Name() const { return FName; }
  bool Enabled() const { return FEnabled; }
  std::int32_t Interval() const { return FInterval; }
  bool Cycled() const { return FCycled; }
  std::int32_t RepeatCount() const { return FRepeatCount; }
  // Sequence number within the list: 1 for the first event added.
  std::int32_t Handle() const { return FHandle; }
  // Runs since the event was last enabled.
  std::int32_t RunCount() const { return FRunCount; }
  // Tick time of the last run, enabling or activation of the list.
  std::uint32_t LastRun() const { return FLastRun; }

  // Enabling resets RunCount and LastRun, recomputes and applies the list's
  // base period and activates the list when it is inactive; may throw
  // "Not enough timers available". Disabling changes only the flag.
  void SetEnabled(bool enabled);
  // Stores a changed interval and recomputes and applies the base period;
  // LastRun stays. May throw "Not enough timers available".
  void SetInterval(std::int32_t interval);
  void SetCycled(bool cycled) { FCycled = cycled; }
  void SetRepeatCount(std::int32_t count) { FRepeatCount = count; }

  // The job; may throw (see TTimerList::Tick).
  TimerHandler OnTimer;

 private:
  friend class TTimerList;
  TTimerEvent(TTimerList& list, std::string name, std::int32_t handle,
              std::uint32_t now);

  TTimerList& FList;
  std::string FName;
  bool FEnabled = true;
  std::int32_t FInterval = 1000;
  bool FCycled = true;
  std::int32_t FRepeatCount = 0;
  std::int32_t FHandle;
  std::int32_t FRunCount = 0;
  std::uint32_t FLastRun;
};

// DESIGN: tick times are 32-bit millisecond counts of the clock's
// TickCount(); a difference of two is taken modulo 2^32 and read as signed,
// so the clock may wrap. The tick source ticks every BasePeriod ms, a period
// that divides every interval where it can; an event is due when its
// interval less 50 ms has passed since its LastRun. The base period is
// recomputed only when an event is added or enabled, an interval changes or
// the repeat count disables an event, never on an ordinary tick.
//
// Owned by the service module; used on the service thread only (no lock).
// `clock` and `scheduler` must outlive the list.
class TTimerList {
 public:
  using TimersHandler =
      std::function<void(TTimerList& sender, std::int32_t handle)>;
  using ExceptionHandler = std::function<void(std::exception_ptr)>;

  TTimerList(const Clock& clock, TickScheduler& scheduler);
  TTimerList(const TTimerList&) = delete;
  TTimerList& operator=(const TTimerList&) = delete;
  ~TTimerList() = default;

  // Adds an event at the end (the next Handle) and applies the base period
  // (no effect while inactive). Its LastRun is now.
  TTimerEvent& Add(std::string name, std::int32_t interval, bool enabled,
                   TTimerEvent::TimerHandler on_timer);
  std::size_t Count() const { return FEvents.size(); }
  // REQUIRES: index < Count().
  TTimerEvent& Events(std::size_t index) { return *FEvents.at(index); }

  bool Active() const { return FActive; }
  // Activating starts the tick source, sets LastRun of every enabled event
  // to now and applies the base period; deactivating stops the source and
  // calls OnFinish. Activation may throw "Not enough timers available"
  // (the list is then inactive again).
  void SetActive(bool active);
  std::int32_t BasePeriod() const { return FBasePeriod; }

  // The base period for tick time `now` (also usable while inactive).
  std::int32_t ComputeBasePeriod(std::uint32_t now) const;

  // One tick, called by the tick source's owner while the list is active.
  // An exception leaving an OnTimer handler ends the tick at once: the
  // events not yet visited are not run and the base period is not
  // recomputed; the exception goes to OnException (dropped if unassigned).
  void Tick();

  std::function<void()> OnFinish;
  TimersHandler OnTimers;
  ExceptionHandler OnException;

 private:
  friend class TTimerEvent;
  // Recomputes the base period for a fresh now and applies it.
  void Recompute();
  void ApplyBasePeriod();
  void Activate();
  void Deactivate();
  bool AnyEnabled() const;
  // Visits the due events; returns whether one was disabled by its repeat
  // count. Handler exceptions pass through.
  bool RunDueEvents(std::uint32_t now);

  const Clock& FClock;
  TickScheduler& FScheduler;
  std::vector<std::unique_ptr<TTimerEvent>> FEvents;
  bool FActive = false;
  std::int32_t FBasePeriod = 0;
  std::int32_t FNextHandle = 1;
};

}  // namespace kvx

#endif  // KVX_TIMERS_TIMER_LIST_H_
