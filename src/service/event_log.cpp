#include "service/event_log.h"

namespace kvx {

void EventLog::WriteEventLog(std::string_view text, EventType type) {
  sink_.Report(EventEntry{kServiceName, type, 1, 0, text});
}

void WriteHostEvent(EventSink& sink, std::string_view text) {
  sink.Report(EventEntry{kServiceName, EventType::kError, 0, 0, text});
}

void WriteApplicationEvent(EventSink& sink, std::string_view text) {
  sink.Report(EventEntry{kProgramName, EventType::kError, 0, 0, text});
}

}  // namespace kvx
