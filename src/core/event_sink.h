// The event sink: where event-log entries go (journal, stderr, JSON file).
#ifndef KVX_CORE_EVENT_SINK_H_
#define KVX_CORE_EVENT_SINK_H_

#include <span>
#include <string_view>

namespace kvx {

enum class EventType : int { kError = 1, kWarning = 2, kInformation = 4 };

// One entry: its source name, type, identifier, category and the one text
// (Windows-1252; a sink converts it to UTF-8 where it needs to).
struct EventEntry {
  std::string_view source;
  EventType type;
  int id;
  int category;
  std::string_view text;
};

// Thread-safe. A sink that fails is silent: Report never throws.
class EventSink {
 public:
  virtual ~EventSink() = default;
  virtual void Report(const EventEntry& entry) noexcept = 0;
  // Reports entries in their order; a sink may write them in one go, each
  // entry still whole.
  virtual void ReportAll(std::span<const EventEntry> entries) noexcept {
    for (const auto& entry : entries) Report(entry);
  }
};

}  // namespace kvx

#endif  // KVX_CORE_EVENT_SINK_H_
