// The watchdog thread: keeps the service manager's watchdog satisfied
// while the service is alive, and only then.
#ifndef KVX_SERVICE_WATCHDOG_H_
#define KVX_SERVICE_WATCHDOG_H_

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "platform/mutex.h"

namespace kvx {

class EventLog;
class Liveness;
class WatchdogNotifier;

// Operator texts (Windows-1252); the first is followed by the worker's name
// and its busy time.
inline constexpr char kWatchdogHeld[] =
    "Kavero TCP/IP server bevestigt de watchdog niet meer: ";
inline constexpr char kWatchdogResumed[] =
    "Kavero TCP/IP server bevestigt de watchdog weer";

// DESIGN: every `period` (half the interval the service manager expects)
// the thread asks `liveness` whether every watched worker is idle or moving
// and sends a ping only then. A worker stuck for longer than the liveness
// limit therefore stops the pings, and the service manager restarts the
// service once a whole interval passed without one. The first check that
// withholds a ping writes a warning entry and a STATUS= line naming the
// stuck worker; the first ping after it writes an information entry and
// the state again. The thread starts in the constructor and ends in the
// destructor; every reference must outlive the Watchdog.
class Watchdog {
 public:
  // The short service state for STATUS= ("running", "paused", ...).
  using StateText = std::function<std::string()>;

  Watchdog(Liveness& liveness, WatchdogNotifier& notifier, EventLog& events,
           StateText state, std::chrono::milliseconds period);
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;
  ~Watchdog();

 private:
  void Run();
  void CheckOnce();

  Liveness& liveness_;
  WatchdogNotifier& notifier_;
  EventLog& events_;
  StateText state_;
  const std::chrono::milliseconds period_;
  bool held_ = false;  // watchdog thread only

  Mutex mutex_;
  CondVar wake_;
  bool stopping_ GUARDED_BY(mutex_) = false;
  std::thread thread_;  // last: starts once the rest is ready
};

}  // namespace kvx

#endif  // KVX_SERVICE_WATCHDOG_H_
