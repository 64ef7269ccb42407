#include "service/service_thread.h"

#include <algorithm>
#include <string>

#include "core/event_log.h"
#include "platform/error.h"
#include "platform/signals.h"

namespace kvx {

namespace {

constexpr std::uint32_t kLongestPeriod = 0x7FFFFFFF;

}  // namespace

bool ServiceTickSource::StartTicks(std::uint32_t period_ms) {
  ++generation_;
  period_ = std::min(period_ms, kLongestPeriod);
  next_ = clock_.TickCount() + period_;
  return true;
}

void ServiceTickSource::StopTicks() {
  ++generation_;
  next_.reset();
}

std::optional<std::uint32_t> ServiceTickSource::MillisecondsLeft() const {
  if (!next_) return std::nullopt;
  // Modulo 2^32: a difference of 2^31 or more is a moment already past.
  const std::uint32_t left = *next_ - clock_.TickCount();
  return left > kLongestPeriod ? 0 : left;
}

void ServiceTickSource::TickDelivered(std::uint64_t generation_before) {
  // A restart inside the tick already placed the next one; a periodic timer
  // that fell behind (a long handler, a pause) delivers one tick, not many.
  if (generation_ == generation_before && next_) {
    next_ = clock_.TickCount() + period_;
  }
}

ServiceThread::ServiceThread(ServiceHandlers& handlers,
                             ServiceTickSource& ticks,
                             ServiceNotifier& notifier, EventSink& events)
    : handlers_(handlers),
      ticks_(ticks),
      notifier_(notifier),
      events_(events) {}

void ServiceThread::Post(int control_code) {
  {
    MutexLock lock(mutex_);
    requests_.push_back(control_code);
  }
  wake_.Signal();
}

void ServiceThread::Report(ServiceState state) {
  state_ = state;
  try {
    notifier_.Report(state);
  } catch (const std::exception& e) {
    WriteHostEvent(events_, e.what());
  }
}

std::optional<int> ServiceThread::WaitForRequest() {
  MutexLock lock(mutex_);
  for (;;) {
    if (!requests_.empty()) {
      const int code = requests_.front();
      requests_.pop_front();
      return code;
    }
    const std::optional<std::uint32_t> left = ticks_.MillisecondsLeft();
    if (state_ == ServiceState::kPaused || !left) {
      wake_.Wait(mutex_);
      continue;
    }
    if (*left == 0) return std::nullopt;  // a tick is due
    ticks_.clock().WaitTicks(wake_, mutex_, *left);
  }
}

bool ServiceThread::Run() {
  Report(ServiceState::kStartPending);
  bool started = true;
  try {
    ScopedWork work(progress_);
    handlers_.ServiceStart(started);
  } catch (const std::exception& e) {
    WriteHostEvent(events_,
                   "Service failed on start: " + std::string(e.what()));
    started = false;
  }
  if (!started) {
    Report(ServiceState::kStopped);
    return false;
  }
  Report(ServiceState::kRunning);
  for (;;) {
    const std::optional<int> request = WaitForRequest();
    ScopedWork work(progress_);
    if (!request) {
      const auto generation = ticks_.generation();
      handlers_.TimerTick();
      ticks_.TickDelivered(generation);
      continue;
    }
    if (Handle(*request)) break;
  }
  // Requests that arrived with the one that ended the loop are still
  // handled, as a message queue drained without waiting would.
  while (const std::optional<int> code = NextQueuedRequest()) {
    ScopedWork work(progress_);
    Handle(*code);
  }
  Report(ServiceState::kStopped);
  return true;
}

std::optional<int> ServiceThread::NextQueuedRequest() {
  MutexLock lock(mutex_);
  if (requests_.empty()) return std::nullopt;
  const int code = requests_.front();
  requests_.pop_front();
  return code;
}

bool ServiceThread::Handle(int code) {
  const ServiceState previous = state_;
  const char* action = nullptr;
  bool flag = true;
  try {
    switch (code) {
      case kControlStop:
        action = "stop";
        Report(ServiceState::kStopPending);
        handlers_.ServiceStop(flag);
        if (flag) return true;
        break;
      // The service manager sends pause only to a running service and
      // continue only to a paused one; signals come regardless (systemd sends
      // SIGCONT after every SIGTERM), so requests the state does not accept
      // are passed over.
      case kControlPause:
        if (state_ != ServiceState::kRunning) return false;
        action = "pause";
        Report(ServiceState::kPausePending);
        handlers_.ServicePause(flag);
        if (flag) Report(ServiceState::kPaused);
        break;
      case kControlContinue:
        if (state_ != ServiceState::kPaused) return false;
        action = "continue";
        Report(ServiceState::kContinuePending);
        handlers_.ServiceContinue(flag);
        if (flag) Report(ServiceState::kRunning);
        break;
      case kControlInterrogate:
        action = "interrogate";
        Report(state_);
        return false;
      case kControlReload:
        if (state_ != ServiceState::kRunning &&
            state_ != ServiceState::kPaused) {
          return false;
        }
        action = "reload";
        handlers_.ServiceReload();
        return false;
      case kControlShutdown:
        action = "shutdown";
        Report(ServiceState::kStopPending);
        handlers_.ServiceShutdown();
        return true;
      default:
        return false;
    }
  } catch (const std::exception& e) {
    WriteHostEvent(
        events_, "Service failed on " + std::string(action) + ": " + e.what());
    if (code == kControlShutdown) return true;
    Report(previous);
    return false;
  }
  if (!flag) Report(previous);
  return false;
}

}  // namespace kvx
