// Status reports to the service manager (systemd's sd_notify).
#ifndef KVX_PLATFORM_SERVICE_NOTIFIER_H_
#define KVX_PLATFORM_SERVICE_NOTIFIER_H_

#include <chrono>
#include <optional>
#include <string_view>

namespace kvx {

enum class ServiceState {
  kStopped,
  kStartPending,
  kStopPending,
  kRunning,
  kContinuePending,
  kPausePending,
  kPaused,
};

// "stopped", "start pending", ... as written in STATUS= reports.
std::string_view ServiceStateName(ServiceState state);

// Used from the service thread only.
class ServiceNotifier {
 public:
  virtual ~ServiceNotifier() = default;
  // Reports a state. Throws KvxError with the system's error text when the
  // service manager refuses the report.
  virtual void Report(ServiceState state) = 0;
};

// sd_notify: READY=1 with the first running state, STATUS=<name> for every
// state, STOPPING=1 with stop pending. A no-op without NOTIFY_SOCKET.
class SdNotifier final : public ServiceNotifier {
 public:
  void Report(ServiceState state) override;

 private:
  bool ready_sent_ = false;
};

// The keep-alive of the service manager's watchdog and the short state it
// shows. Thread-safe: used from the watchdog thread.
class WatchdogNotifier {
 public:
  virtual ~WatchdogNotifier() = default;
  // WATCHDOG=1. Throws KvxError with the system's error text when the
  // service manager refuses it.
  virtual void Ping() = 0;
  // STATUS=<text>, shown by `systemctl status`. Throws as Ping does.
  virtual void Status(std::string_view text) = 0;
};

// sd_notify WATCHDOG=1 and STATUS=. A no-op without NOTIFY_SOCKET.
class SdWatchdogNotifier final : public WatchdogNotifier {
 public:
  void Ping() override;
  void Status(std::string_view text) override;
};

// How often the service manager expects a ping (WATCHDOG_USEC, when
// WATCHDOG_PID is unset or names this process); nothing when it does not
// watch this process.
std::optional<std::chrono::microseconds> WatchdogInterval();

}  // namespace kvx

#endif  // KVX_PLATFORM_SERVICE_NOTIFIER_H_
