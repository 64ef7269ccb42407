#include "timers/timer_list.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "platform/error.h"

namespace kvx {
namespace {

constexpr std::int32_t kNoPeriod = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kMinimumPeriod = 100;
constexpr std::int64_t kDueTolerance = 50;

// Milliseconds from `since` to `now` on the wrapping 32-bit clock.
std::int32_t Elapsed(std::uint32_t now, std::uint32_t since) {
  return static_cast<std::int32_t>(now - since);
}

}  // namespace

TTimerEvent::TTimerEvent(TTimerList& list, std::string name,
                         std::int32_t handle, std::uint32_t now)
    : FList(list), FName(std::move(name)), FHandle(handle), FLastRun(now) {}

void TTimerEvent::SetEnabled(bool enabled) {
  if (enabled == FEnabled) return;
  FEnabled = enabled;
  if (!enabled) return;
  FRunCount = 0;
  FLastRun = FList.FClock.TickCount();
  FList.Recompute();
  if (!FList.FActive) FList.Activate();
}

void TTimerEvent::SetInterval(std::int32_t interval) {
  if (interval == FInterval) return;
  FInterval = interval;
  FList.Recompute();
}

TTimerList::TTimerList(const Clock& clock, TickScheduler& scheduler)
    : FClock(clock), FScheduler(scheduler) {}

TTimerEvent& TTimerList::Add(std::string name, std::int32_t interval,
                             bool enabled, TTimerEvent::TimerHandler on_timer) {
  FEvents.push_back(std::unique_ptr<TTimerEvent>(new TTimerEvent(
      *this, std::move(name), FNextHandle++, FClock.TickCount())));
  TTimerEvent& event = *FEvents.back();
  event.FInterval = interval;
  event.FEnabled = enabled;
  event.OnTimer = std::move(on_timer);
  Recompute();
  return event;
}

void TTimerList::SetActive(bool active) {
  if (active == FActive) return;
  if (active) {
    Activate();
  } else {
    Deactivate();
  }
}

std::int32_t TTimerList::ComputeBasePeriod(std::uint32_t now) const {
  if (FEvents.empty()) return 0;
  std::int32_t candidate = kNoPeriod;
  for (const auto& event : FEvents) {
    if (!event->FEnabled || event->FInterval <= 0) continue;
    candidate = std::min(candidate, event->FInterval);
    const std::int64_t remaining =
        std::int64_t{event->FInterval} - Elapsed(now, event->FLastRun);
    if (remaining < candidate) candidate = static_cast<std::int32_t>(remaining);
  }
  if (candidate < kMinimumPeriod) candidate = kMinimumPeriod;
  if (candidate == kNoPeriod) return 0;
  // Shrink the candidate until it divides every interval, disabled events
  // included, so that one period serves each event once it is enabled.
  // A non-positive interval divides nothing and is passed over.
  bool reduced = true;
  while (reduced && candidate > kMinimumPeriod) {
    reduced = false;
    for (const auto& event : FEvents) {
      if (event->FInterval <= 0) continue;
      const std::int32_t remainder = event->FInterval % candidate;
      if (remainder != 0) {
        candidate -= remainder;
        reduced = true;
        break;
      }
    }
  }
  return candidate < kMinimumPeriod ? kMinimumPeriod : candidate;
}

void TTimerList::Tick() {
  const std::uint32_t now = FClock.TickCount();
  bool disabled_one = false;
  try {
    disabled_one = RunDueEvents(now);
  } catch (...) {
    if (OnException) OnException(std::current_exception());
    return;
  }
  if (!disabled_one) return;
  if (!AnyEnabled()) {
    Deactivate();
  } else {
    Recompute();
  }
}

bool TTimerList::RunDueEvents(std::uint32_t now) {
  bool disabled_one = false;
  // Visited from the highest index down; a handler may enable events or
  // change intervals, which takes effect at once.
  for (std::size_t i = FEvents.size(); i-- > 0;) {
    TTimerEvent& event = *FEvents[i];
    if (!event.FEnabled) continue;
    if (Elapsed(now, event.FLastRun) <
        std::int64_t{event.FInterval} - kDueTolerance) {
      continue;
    }
    event.FLastRun = now;
    ++event.FRunCount;
    if (!event.FCycled && event.FRunCount >= event.FRepeatCount) {
      event.FEnabled = false;
      disabled_one = true;
    }
    if (event.OnTimer) event.OnTimer(event);
    if (OnTimers) OnTimers(*this, event.FHandle);
  }
  return disabled_one;
}

void TTimerList::Recompute() {
  FBasePeriod = ComputeBasePeriod(FClock.TickCount());
  ApplyBasePeriod();
}

void TTimerList::ApplyBasePeriod() {
  if (!FActive) return;
  FScheduler.StopTicks();
  if (!AnyEnabled()) {
    Deactivate();
    return;
  }
  if (FBasePeriod <= 0) return;
  if (!FScheduler.StartTicks(static_cast<std::uint32_t>(FBasePeriod))) {
    Deactivate();
    throw KvxError("Not enough timers available");
  }
}

void TTimerList::Activate() {
  FActive = true;
  const std::uint32_t now = FClock.TickCount();
  for (auto& event : FEvents) {
    if (event->FEnabled) event->FLastRun = now;
  }
  FBasePeriod = ComputeBasePeriod(now);
  ApplyBasePeriod();
}

void TTimerList::Deactivate() {
  if (!FActive) return;
  FScheduler.StopTicks();
  FActive = false;
  if (OnFinish) OnFinish();
}

bool TTimerList::AnyEnabled() const {
  for (const auto& event : FEvents) {
    if (event->FEnabled) return true;
  }
  return false;
}

}  // namespace kvx
