#include "service/service_thread.h"

#include <string>

#include "core/event_log.h"
#include "platform/error.h"
#include "platform/signals.h"

namespace kvx {

bool ServiceTickSource::StartTicks(std::uint32_t period_ms) {
  ++generation_;
  period_ = std::chrono::milliseconds(period_ms);
  next_ = std::chrono::steady_clock::now() + period_;
  return true;
}

void ServiceTickSource::StopTicks() {
  ++generation_;
  next_.reset();
}

void ServiceTickSource::TickDelivered(TimePoint now,
                                      std::uint64_t generation_before) {
  // A restart inside the tick already placed the next one; a periodic timer
  // that fell behind (a long handler, a pause) delivers one tick, not many.
  if (generation_ == generation_before && next_) next_ = now + period_;
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
    std::scoped_lock lock(mutex_);
    requests_.push_back(control_code);
  }
  wake_.notify_one();
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
  std::unique_lock lock(mutex_);
  for (;;) {
    if (!requests_.empty()) {
      const int code = requests_.front();
      requests_.pop_front();
      return code;
    }
    const auto next = ticks_.NextTick();
    if (state_ == ServiceState::kPaused || !next) {
      wake_.wait(lock);
      continue;
    }
    if (wake_.wait_until(lock, *next) == std::cv_status::timeout &&
        requests_.empty()) {
      return std::nullopt;  // a tick is due
    }
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
      ticks_.TickDelivered(std::chrono::steady_clock::now(), generation);
      continue;
    }
    if (Handle(*request)) break;
  }
  // Requests that arrived with the one that ended the loop are still
  // handled, as a message queue drained without waiting would.
  for (;;) {
    std::unique_lock lock(mutex_);
    if (requests_.empty()) break;
    const int code = requests_.front();
    requests_.pop_front();
    lock.unlock();
    ScopedWork work(progress_);
    Handle(code);
  }
  Report(ServiceState::kStopped);
  return true;
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
