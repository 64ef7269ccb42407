// The event sinks of the event log and the choice between them.
#ifndef KVX_PLATFORM_EVENT_SINKS_H_
#define KVX_PLATFORM_EVENT_SINKS_H_

#include <memory>
#include <string>
#include <string_view>

#include "core/event_sink.h"

namespace kvx {

class Clock;
struct LocalTime;

// By KVX_EVENT_LOG: unset = the journal when /run/systemd/journal/socket
// exists, else stderr; "journal"; "stderr"; anything else = the path of a
// JSON-lines file that entries are appended to.
std::unique_ptr<EventSink> MakeEventSinkFromEnvironment();

std::unique_ptr<EventSink> MakeJournalSink();
std::unique_ptr<EventSink> MakeStderrSink();
// `path` is a UTF-8 file name.
std::unique_ptr<EventSink> MakeJsonFileSink(std::string path);
// The same with the clock that stamps the entries; `clock` must outlive the
// sink.
std::unique_ptr<EventSink> MakeJsonFileSink(std::string path,
                                            const Clock& clock);

// One JSON line of the file sink, newline included:
// {"time":"2010-05-25T14:03:07.000","source":"KaveroTCPIP","type":4,"id":1,
// "category":0,"text":"..."}; source and text converted to UTF-8.
std::string JsonEventLine(const LocalTime& time, const EventEntry& entry);
// Escapes a UTF-8 text for a JSON string: quote and backslash with a
// backslash, control characters as \u00XX.
std::string JsonEscape(std::string_view utf8);

}  // namespace kvx

#endif  // KVX_PLATFORM_EVENT_SINKS_H_
