// Status reports to the service manager (systemd's sd_notify).
#ifndef KVX_PLATFORM_SERVICE_NOTIFIER_H_
#define KVX_PLATFORM_SERVICE_NOTIFIER_H_

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

}  // namespace kvx

#endif  // KVX_PLATFORM_SERVICE_NOTIFIER_H_
