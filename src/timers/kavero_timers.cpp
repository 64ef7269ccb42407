#include "timers/kavero_timers.h"

#include <utility>

#include "platform/error.h"

namespace kvx {

void ReportApplicationException(EventSink& sink, std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const Abort&) {
  } catch (const std::exception& e) {
    WriteApplicationEvent(sink, ExceptionText(e));
  } catch (...) {
    WriteApplicationEvent(sink, "Unknown exception");
  }
}

KaveroTimers::KaveroTimers(const Clock& clock, TickScheduler& scheduler,
                           EventLog& events, EventSink& application_sink,
                           TimerJobs jobs)
    : TimerList1(clock, scheduler), FEvents(events), FJobs(std::move(jobs)) {
  TimerList1.Add("DatabaseTimer", 60000, true,
                 [this](TTimerEvent& e) { TimerList1Events0Timer(e); });
  TimerList1.Add("HTTPChecker", 10000, false,
                 [this](TTimerEvent& e) { TimerList1Events1Timer(e); });
  TimerList1.Add("UDPLan", 30000, false,
                 [this](TTimerEvent& e) { TimerList1Events2Timer(e); });
  TimerList1.OnException = [&application_sink](std::exception_ptr error) {
    ReportApplicationException(application_sink, std::move(error));
  };
}

void KaveroTimers::ActivateTimers() { TimerList1.SetActive(true); }

void KaveroTimers::EnableDatabaseTimer() { DatabaseTimer().SetEnabled(true); }

void KaveroTimers::ApplyHTTPTimer(std::int32_t http_timer) {
  if (http_timer < 1) return;
  HTTPChecker().SetInterval(http_timer);
  HTTPChecker().SetEnabled(true);
}

void KaveroTimers::TimerList1Events0Timer(TTimerEvent& /*sender*/) {
  if (!FJobs.database_is_open()) {
    FJobs.open_database();
    FEvents.WriteEventLog(kDatabaseLinked, EventType::kInformation);
  }
  UDPLan().SetEnabled(true);
}

void KaveroTimers::TimerList1Events1Timer(TTimerEvent& /*sender*/) {
  HTTPChecker().SetEnabled(false);
  if (!FJobs.server_active()) FJobs.start_server();
  HTTPChecker().SetEnabled(true);
}

void KaveroTimers::TimerList1Events2Timer(TTimerEvent& /*sender*/) {
  try {
    FJobs.send_heartbeat();
  } catch (const std::exception& e) {
    FEvents.WriteEventLog(ExceptionText(e), EventType::kWarning);
  } catch (...) {
    FEvents.WriteEventLog("Unknown exception", EventType::kWarning);
  }
}

}  // namespace kvx
