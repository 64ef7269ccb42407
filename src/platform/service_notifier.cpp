// Status reports through sd_notify.
#include "platform/service_notifier.h"

#include <systemd/sd-daemon.h>

#include <cstdint>
#include <string>

#include "platform/error.h"

namespace kvx {

std::string_view ServiceStateName(ServiceState state) {
  switch (state) {
    case ServiceState::kStopped:
      return "stopped";
    case ServiceState::kStartPending:
      return "start pending";
    case ServiceState::kStopPending:
      return "stop pending";
    case ServiceState::kRunning:
      return "running";
    case ServiceState::kContinuePending:
      return "continue pending";
    case ServiceState::kPausePending:
      return "pause pending";
    case ServiceState::kPaused:
      return "paused";
  }
  return "unknown";
}

void SdNotifier::Report(ServiceState state) {
  std::string message;
  if (state == ServiceState::kRunning && !ready_sent_) message += "READY=1\n";
  if (state == ServiceState::kStopPending) message += "STOPPING=1\n";
  message += "STATUS=";
  message += ServiceStateName(state);
  // Without NOTIFY_SOCKET sd_notify does nothing and returns 0.
  const int rc = sd_notify(0, message.c_str());
  if (rc < 0) throw PosixError({}, -rc);
  if (state == ServiceState::kRunning) ready_sent_ = true;
}

namespace {

void Notify(const std::string& message) {
  const int rc = sd_notify(0, message.c_str());
  if (rc < 0) throw PosixError({}, -rc);
}

}  // namespace

void SdWatchdogNotifier::Ping() { Notify("WATCHDOG=1"); }

void SdWatchdogNotifier::Status(std::string_view text) {
  Notify("STATUS=" + std::string(text));
}

std::optional<std::chrono::microseconds> WatchdogInterval() {
  std::uint64_t usec = 0;
  // 0 leaves WATCHDOG_USEC and WATCHDOG_PID in the environment.
  if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0) return std::nullopt;
  return std::chrono::microseconds(usec);
}

}  // namespace kvx
