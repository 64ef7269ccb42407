// The frame step: unpack the first frame of a connection's receive buffer,
// classify the message, archive it, answer it and remove it.
#ifndef KVX_SERVER_MESSAGE_HANDLER_H_
#define KVX_SERVER_MESSAGE_HANDLER_H_

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/event_log.h"
#include "core/event_sink.h"
#include "server/message_archive.h"

namespace kvx {

struct Settings;

// Writes one block of reply bytes on the connection the frame came from: a
// whole reply frame, or the one NAK byte. May throw; the frame step then
// fails at that point.
using ReplyWriter = std::function<void(std::string_view bytes)>;

// Writes the error entry of a failed frame step; by default the step writes
// it to the event log itself.
using ErrorWriter = std::function<void(std::string_view text)>;

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

// A frame step between its two halves: what the first half found in the
// receive buffer, the files to archive, and what follows once they are
// written. Made by PrepareFrameStep and used once by FinishFrameStep.
struct PreparedStep {
  // archive.raw is what the step takes (the leading bytes and the frame);
  // the request may be moved away to be written elsewhere.
  ArchiveRequest archive;
  std::size_t found = 0;                 // the buffer's size as found
  std::vector<EventLog::Entry> entries;  // of the unpacks, in their order
  bool com = false;   // type COM: a failed decoded file keeps the frame
  std::string reply;  // the reply frame, or the NAK byte
  // The leading bytes the step removes: its frame and the bytes before it
  // (FrameEnd). What it leaves is always the rest.
  std::size_t taken = 0;
};

// Runs frame steps on the receive buffers of connections. Thread-safe: frame
// steps of different connections may run at once; they meet only in the
// archive. `settings`, `events` and `archive` must outlive it.
class MessageHandler {
 public:
  MessageHandler(const Settings& settings, EventLog& events,
                 MessageArchive& archive);
  MessageHandler(const MessageHandler&) = delete;
  MessageHandler& operator=(const MessageHandler&) = delete;

  // One frame step on one connection's buffer, archive included; the caller
  // has seen a SOH and an EOT in it. Writes at most one reply through
  // `write`. Returns false when the step failed after the receive step (an
  // archive or a reply that cannot be written): that is reported as
  // "Ontvanger: " + message, and whatever the step had not removed stays in
  // the buffer for a retry.
  bool FrameStep(std::string& FReceiveBuffer, const ReplyWriter& write);

  // The same in two halves, so that the archive files can be written
  // elsewhere in between (MessageArchive::Write of `step.archive`). The
  // first half only reads the buffer. It holds the information entry of
  // every unpack of the step: three for a COM message, four with archiving
  // on, as many as the step reads the buffer.
  PreparedStep PrepareFrameStep(const std::string& FReceiveBuffer) const;
  // The second half, with the archive's outcome: writes the entries, then
  // the reply, and removes what the step took from the buffer; returns as
  // FrameStep. REQUIRES: the buffer is the one prepared, at most with bytes
  // appended since. The failure's entry goes to `report` when given.
  bool FinishFrameStep(PreparedStep& step, const ArchiveOutcome& outcome,
                       std::string& FReceiveBuffer, const ReplyWriter& write,
                       const ErrorWriter& report = {});

  // The message of `frame` (the bytes a step takes), or an empty text.
  // Holds "Pakket ontvangen met lengte van: " in `entries` when a frame with
  // a length field is found, the message cut by LimitEntryText. On failure
  // holds "Verwerking: " + message.
  std::string PakketUitpakken(std::string_view frame,
                              std::vector<EventLog::Entry>& entries) const;

 private:
  // The first half of PakketVerwerker: asks for the "TCP_DIV_" archive when
  // archiving is on and returns the tag (empty when there is none). A frame
  // without STX, or one whose markers are hidden behind a NUL byte, has no
  // message and gives no tag. The step takes the frame in every case; its
  // archive failure is handled by FinishFrameStep.
  std::string PakketVerwerker(std::string_view frame, PreparedStep& step) const;

  const Settings& settings_;
  EventLog& events_;
  MessageArchive& archive_;
};

}  // namespace kvx

#endif  // KVX_SERVER_MESSAGE_HANDLER_H_
