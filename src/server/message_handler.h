// The frame step: unpack the first frame of a connection's receive buffer,
// classify the message, archive it, answer it and remove it.
#ifndef KVX_SERVER_MESSAGE_HANDLER_H_
#define KVX_SERVER_MESSAGE_HANDLER_H_

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/event_sink.h"
#include "service/event_log.h"

namespace kvx {

class ArchivePass;
class MessageArchive;
struct Settings;

// Writes one block of reply bytes on the connection the frame came from: a
// whole reply frame, or the one NAK byte. May throw; the frame step then
// fails at that point.
using ReplyWriter = std::function<void(std::string_view bytes)>;

// The text after the first `type="` up to the next double quote (the rest of
// the text when there is none); empty when the marker is absent.
std::string ExtractMsgType(std::string_view message);
// The same for the marker `<MSG tag="`.
std::string ExtractMsgTag(std::string_view message);

// The two reply envelopes, every line ended by CR LF; values are inserted
// unchanged, without escaping.
std::string InfReply(std::string_view tag, std::string_view versie,
                     std::string_view receiver, std::string_view sender);
std::string AckReply(std::string_view tag, const Settings& settings);

// The event-log entries of one frame step, held while the step has the
// archive and written in their order afterwards, so that no connection waits
// for the archive while another writes its entries. Not thread-safe: one per
// frame step. `events` must outlive it.
class StepEntries {
 public:
  explicit StepEntries(EventLog& events) : events_(events) {}
  StepEntries(const StepEntries&) = delete;
  StepEntries& operator=(const StepEntries&) = delete;
  ~StepEntries() { Flush(); }

  void Add(std::string text, EventType type);
  // Writes the held entries in their order and forgets them.
  void Flush();

 private:
  EventLog& events_;
  std::vector<EventLog::Entry> entries_;
};

// Runs frame steps on the receive buffers of connections. Thread-safe: frame
// steps of different connections may run at once; they meet only in the
// archive (MessageArchive holds the lock). `settings`, `events` and
// `archive` must outlive it.
class MessageHandler {
 public:
  MessageHandler(const Settings& settings, EventLog& events,
                 MessageArchive& archive);
  MessageHandler(const MessageHandler&) = delete;
  MessageHandler& operator=(const MessageHandler&) = delete;

  // One frame step on one connection's buffer; the caller has seen a SOH
  // and an EOT in it. Writes at most one reply through `write`. Returns
  // false when the step failed after the receive step (an archive or a reply
  // that cannot be written): that is reported as "Ontvanger: " + message,
  // and whatever the step had not removed stays in the buffer for a retry.
  bool FrameStep(std::string& FReceiveBuffer, const ReplyWriter& write);

  // The message of the first frame in the buffer, or an empty text. Writes
  // "Pakket ontvangen met lengte van: " when a frame with a length field is
  // found. On failure reports "Verwerking: " + message and empties the
  // buffer.
  std::string PakketUitpakken(std::string& FReceiveBuffer);
  // The same with the entries held in `entries`.
  std::string PakketUitpakken(std::string& FReceiveBuffer,
                              StepEntries& entries);

  // Archives the first frame's message as "TCP_DIV_" when archiving is on,
  // removes the frame and returns its tag (empty when there is none). A
  // frame without STX, or one whose markers are hidden behind a NUL byte,
  // has no message: it is removed and gives no tag. On failure reports
  // "Verwerking: " + message, empties the buffer and returns empty.
  std::string PakketVerwerker(std::string& FReceiveBuffer, ArchivePass& pass,
                              StepEntries& entries);

 private:
  void RunFrameStep(std::string& FReceiveBuffer, const ReplyWriter& write,
                    StepEntries& entries);

  const Settings& settings_;
  EventLog& events_;
  MessageArchive& archive_;
};

}  // namespace kvx

#endif  // KVX_SERVER_MESSAGE_HANDLER_H_
