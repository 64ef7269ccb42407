// The event-log reporters of the module, the service host and the
// application.
#ifndef KVX_CORE_EVENT_LOG_H_
#define KVX_CORE_EVENT_LOG_H_

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "core/event_sink.h"

namespace kvx {

// Sees every entry the module reporter writes (the status page and the
// entry counters). Thread-safe; Record never throws.
class EventObserver {
 public:
  virtual ~EventObserver() = default;
  virtual void Record(EventType type, std::string_view text) noexcept = 0;
};

inline constexpr std::string_view kServiceName = "KaveroTCPIP";
inline constexpr std::string_view kProgramName = "KvxTCPServer";

// The longest message text an entry carries whole. A longer message (one
// frame of megabytes) is cut here with a note of its full length; the
// archive keeps the whole message.
inline constexpr std::size_t kEntryTextLimit = 64 * 1024;

// `text` when it holds at most kEntryTextLimit bytes; otherwise its first
// kEntryTextLimit bytes followed by the note
// " ... (ingekort; volledige lengte <n> bytes)".
std::string LimitEntryText(std::string_view text);

// The module reporter: source "KaveroTCPIP", identifier 1, category 0.
// Thread-safe; `sink` and `recorder` (when given: every entry is counted
// and kept for the status page) must outlive it.
class EventLog {
 public:
  explicit EventLog(EventSink& sink, EventObserver* recorder = nullptr)
      : sink_(sink), recorder_(recorder) {}
  EventLog(const EventLog&) = delete;
  EventLog& operator=(const EventLog&) = delete;

  void WriteEventLog(std::string_view text, EventType type);

  struct Entry {
    std::string text;
    EventType type;
  };
  // Writes the entries in their order, in one go where the sink can.
  void WriteEventLogs(std::span<const Entry> entries);

 private:
  void Record(EventType type, std::string_view text);

  EventSink& sink_;
  EventObserver* const recorder_;
};

// The service host's own entries: source "KaveroTCPIP", identifier 0, error.
void WriteHostEvent(EventSink& sink, std::string_view text);

// The application reporter: source "KvxTCPServer", identifier 0, error.
void WriteApplicationEvent(EventSink& sink, std::string_view text);

}  // namespace kvx

#endif  // KVX_CORE_EVENT_LOG_H_
