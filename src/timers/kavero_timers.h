// The module's timer list TimerList1 with its three events (database,
// listener watchdog, heartbeat) and their handlers.
#ifndef KVX_TIMERS_KAVERO_TIMERS_H_
#define KVX_TIMERS_KAVERO_TIMERS_H_

#include <cstdint>
#include <exception>
#include <functional>
#include <string_view>

#include "core/event_log.h"
#include "core/event_sink.h"
#include "platform/clock.h"
#include "timers/tick_scheduler.h"
#include "timers/timer_list.h"

namespace kvx {

inline constexpr std::string_view kDatabaseLinked =
    "Kavero TCP/IP server koppeling met SQL database succesvol";

// What the timer handlers use of the other subsystems. Every member must be
// set; each may throw.
struct TimerJobs {
  std::function<bool()> database_is_open;
  std::function<void()> open_database;
  std::function<bool()> server_active;
  // Starts listening with the bindings ServiceStart set.
  std::function<void()> start_server;
  // Sends the status datagram 3003.
  std::function<void()> send_heartbeat;
};

// Writes an exception that escaped a timer handler as an error entry under
// the program's own source; the silent Abort is dropped. Never throws.
void ReportApplicationException(EventSink& sink, std::exception_ptr error);

// TimerList1 and its handlers, owned by the service module and used on the
// service thread only. `clock`, `scheduler`, `events` and `application_sink`
// must outlive it. Exceptions that leave a handler go to
// ReportApplicationException on `application_sink`.
class KaveroTimers {
 public:
  KaveroTimers(const Clock& clock, TickScheduler& scheduler, EventLog& events,
               EventSink& application_sink, TimerJobs jobs);
  KaveroTimers(const KaveroTimers&) = delete;
  KaveroTimers& operator=(const KaveroTimers&) = delete;

  // Index 0 DatabaseTimer 60000 ms enabled, 1 HTTPChecker 10000 ms
  // disabled, 2 UDPLan 30000 ms disabled.
  TTimerList TimerList1;
  TTimerEvent& DatabaseTimer() { return TimerList1.Events(0); }
  TTimerEvent& HTTPChecker() { return TimerList1.Events(1); }
  TTimerEvent& UDPLan() { return TimerList1.Events(2); }

  // Called by ServiceStart, in this order. ActivateTimers activates the
  // list before the configuration is read, so it ticks even when the file
  // is missing. Once the settings are loaded, EnableDatabaseTimer enables
  // DatabaseTimer (already enabled from construction, so nothing changes)
  // and ApplyHTTPTimer applies the number of the HTTPTimer setting: 1 or
  // more sets HTTPChecker's interval and enables it, below 1 leaves it off.
  // Each may throw "Not enough timers available".
  void ActivateTimers();
  void EnableDatabaseTimer();
  void ApplyHTTPTimer(std::int32_t http_timer);

  // DatabaseTimer: opens the database when it is not open, then switches
  // the heartbeat on. Catches nothing.
  void TimerList1Events0Timer(TTimerEvent& sender);
  // HTTPChecker: starts the listener when it is not active. A failure to
  // start leaves the watchdog off.
  void TimerList1Events1Timer(TTimerEvent& sender);
  // UDPLan: sends the heartbeat; a failure becomes a warning entry.
  void TimerList1Events2Timer(TTimerEvent& sender);

 private:
  EventLog& FEvents;
  TimerJobs FJobs;
};

}  // namespace kvx

#endif  // KVX_TIMERS_KAVERO_TIMERS_H_
