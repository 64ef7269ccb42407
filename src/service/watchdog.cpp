#include "service/watchdog.h"

#include <utility>

#include "core/event_log.h"
#include "platform/service_notifier.h"
#include "platform/thread_name.h"
#include "service/liveness.h"

namespace kvx {

Watchdog::Watchdog(Liveness& liveness, WatchdogNotifier& notifier,
                   EventLog& events, StateText state,
                   std::chrono::milliseconds period)
    : liveness_(liveness),
      notifier_(notifier),
      events_(events),
      state_(std::move(state)),
      period_(period),
      thread_([this] { Run(); }) {}

Watchdog::~Watchdog() {
  {
    MutexLock lock(mutex_);
    stopping_ = true;
  }
  wake_.Signal();
  thread_.join();
}

void Watchdog::Run() {
  SetThreadName("kvx-watchdog");
  for (;;) {
    {
      MutexLock lock(mutex_);
      const auto until = std::chrono::steady_clock::now() + period_;
      while (!stopping_ && std::chrono::steady_clock::now() < until) {
        wake_.WaitUntil(mutex_, until);
      }
      if (stopping_) return;
    }
    CheckOnce();
  }
}

void Watchdog::CheckOnce() {
  // A refused ping or status line is not reported: the service manager that
  // refuses them restarts the service anyway, and an entry every period
  // would only flood the log.
  const auto stall = liveness_.Check();
  if (stall) {
    if (held_) return;
    held_ = true;
    const std::string what = stall->worker + " is al " +
                             std::to_string(stall->busy_ms / 1000) +
                             " seconden bezig";
    events_.WriteEventLog(kWatchdogHeld + what, EventType::kWarning);
    try {
      notifier_.Status(state_() + " (watchdog: " + what + ")");
    } catch (const std::exception&) {
    }
    return;
  }
  try {
    notifier_.Ping();
  } catch (const std::exception&) {
  }
  if (!held_) return;
  held_ = false;
  events_.WriteEventLog(kWatchdogResumed, EventType::kInformation);
  try {
    notifier_.Status(state_());
  } catch (const std::exception&) {
  }
}

}  // namespace kvx
