#include "core/event_log.h"

#include <vector>

namespace kvx {

void EventLog::WriteEventLog(std::string_view text, EventType type) {
  sink_.Report(EventEntry{kServiceName, type, 1, 0, text});
  Record(type, text);
}

void EventLog::WriteEventLogs(std::span<const Entry> entries) {
  std::vector<EventEntry> batch;
  batch.reserve(entries.size());
  for (const auto& e : entries) {
    batch.push_back(EventEntry{kServiceName, e.type, 1, 0, e.text});
  }
  sink_.ReportAll(batch);
  for (const auto& e : entries) Record(e.type, e.text);
}

void EventLog::Record(EventType type, std::string_view text) {
  if (recorder_) {
    recorder_->Record(type, text);
  }
}

void WriteHostEvent(EventSink& sink, std::string_view text) {
  sink.Report(EventEntry{kServiceName, EventType::kError, 0, 0, text});
}

void WriteApplicationEvent(EventSink& sink, std::string_view text) {
  sink.Report(EventEntry{kProgramName, EventType::kError, 0, 0, text});
}

}  // namespace kvx
