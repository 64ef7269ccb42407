// The event sinks of the event log and the choice between them.
#ifndef KVX_PLATFORM_EVENT_SINKS_H_
#define KVX_PLATFORM_EVENT_SINKS_H_

#include <memory>
#include <string>

#include "platform/event_sink.h"

namespace kvx {

// By KVX_EVENT_LOG: unset = the journal when /run/systemd/journal/socket
// exists, else stderr; "journal"; "stderr"; anything else = the path of a
// JSON-lines file that entries are appended to.
std::unique_ptr<EventSink> MakeEventSinkFromEnvironment();

std::unique_ptr<EventSink> MakeJournalSink();
std::unique_ptr<EventSink> MakeStderrSink();
// `path` is a UTF-8 file name.
std::unique_ptr<EventSink> MakeJsonFileSink(std::string path);

}  // namespace kvx

#endif  // KVX_PLATFORM_EVENT_SINKS_H_
