// The frame step as two pure functions around the archive write: what the
// first frame of a receive buffer asks for (files, entries, reply), and what
// follows once the archive has written or failed.
//
//   receive buffer --PlanFrameStep--> FramePlan --archive.raw/decoded-->
//   archive thread --ArchiveOutcome--> ResolveFrameStep --> FrameResult
//   (entries, reply, bytes to remove, or a failure to retry)
//
// Neither touches a socket, a file or the event log; the connection carries
// out the result in the designed order: entries, then the reply, with the
// frame removed before the reply (after it for COM).
#ifndef KVX_SERVER_FRAME_STEP_H_
#define KVX_SERVER_FRAME_STEP_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "core/event_log.h"
#include "server/archive_request.h"

namespace kvx {

struct Settings;

enum class ReplyKind { kInf, kAck, kNak };

// What one frame step asks for, made before its archive files are written.
struct FramePlan {
  // The files: `archive.raw` is what the step takes (the leading bytes and
  // the frame), never the frames queued behind it.
  ArchiveRequest archive;
  // The information entry of every unpack of the step, in order: three for
  // a COM message, four with archiving on, one for any other type.
  std::vector<EventLog::Entry> entries;
  bool com = false;  // type COM: a failed decoded file keeps the frame
  ReplyKind kind = ReplyKind::kNak;
  std::string reply;      // the reply frame, or the NAK byte
  std::size_t taken = 0;  // leading bytes of the buffer the step takes
};

// What the connection does with a frame step once its files are written.
struct FrameResult {
  std::vector<EventLog::Entry> entries;  // written first, in order
  // Succeeded: the reply to write (`kind` of it), and the leading bytes to
  // remove before it (`remove_before`) or, for COM, after it is queued
  // (`remove_after`), so that a reply that cannot be written keeps a COM
  // frame for a later step.
  std::string reply;
  ReplyKind kind = ReplyKind::kNak;
  std::size_t remove_before = 0;
  std::size_t remove_after = 0;
  // Failed: "Ontvanger: " and the error. Nothing is written or removed; the
  // frame stays for a retry.
  std::string failure;
  bool failed() const { return !failure.empty(); }
};

// The step of the first frame in `buffer`. REQUIRES: the buffer holds a
// frame (a SOH and an EOT after it).
FramePlan PlanFrameStep(std::string_view buffer, const Settings& settings);

// The rest of the step with the archive's outcome. A failed raw file ends
// the step before its unpacks (no entries); a failed "TCP_COM_" file keeps
// the frame after the unpack entries; a failed "TCP_DIV_" file refuses the
// frame with "Verwerking: " and NAK.
FrameResult ResolveFrameStep(FramePlan plan, const ArchiveOutcome& outcome);

// The message of `frame` (the bytes a step takes), or an empty text. Adds
// "Pakket ontvangen met lengte van: " to `entries` when a frame with a
// length field is found (the message cut by LimitEntryText), and
// "Verwerking: " + message when the unpack fails.
std::string PakketUitpakken(std::string_view frame, const Settings& settings,
                            std::vector<EventLog::Entry>& entries);

}  // namespace kvx

#endif  // KVX_SERVER_FRAME_STEP_H_
