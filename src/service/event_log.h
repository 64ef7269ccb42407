// The event-log reporters of the module, the service host and the
// application.
#ifndef KVX_SERVICE_EVENT_LOG_H_
#define KVX_SERVICE_EVENT_LOG_H_

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "platform/event_sink.h"

namespace kvx {

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
// Thread-safe; `sink` must outlive it.
class EventLog {
 public:
  explicit EventLog(EventSink& sink) : sink_(sink) {}
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
  EventSink& sink_;
};

// The service host's own entries: source "KaveroTCPIP", identifier 0, error.
void WriteHostEvent(EventSink& sink, std::string_view text);

// The application reporter: source "KvxTCPServer", identifier 0, error.
void WriteApplicationEvent(EventSink& sink, std::string_view text);

}  // namespace kvx

#endif  // KVX_SERVICE_EVENT_LOG_H_
