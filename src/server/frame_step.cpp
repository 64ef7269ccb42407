#include "server/frame_step.h"

#include <exception>
#include <utility>

#include "core/config.h"
#include "core/frame.h"
#include "core/line_list.h"
#include "core/message_texts.h"
#include "core/settings.h"

namespace kvx {
namespace {

constexpr std::string_view kReceivedText = "Pakket ontvangen met lengte van: ";
constexpr std::string_view kReceiverPrefix = "Ontvanger: ";
constexpr std::string_view kProcessingPrefix = "Verwerking: ";

std::string Cat(std::initializer_list<std::string_view> parts) {
  std::string text;
  for (const auto part : parts) text += part;
  return text;
}

// The decoding half of PakketVerwerker: asks for the "TCP_DIV_" archive when
// archiving is on and returns the tag (empty when there is none). A frame
// without STX, or one whose markers are hidden behind a NUL byte, has no
// message and gives no tag; the step takes it all the same, so that it
// never stays in the buffer.
std::string PakketVerwerker(std::string_view frame, const Settings& settings,
                            FramePlan& plan) {
  try {
    UnpackedFrame unpacked = UnpackFirstFrame(frame);
    if (unpacked.found != UnpackedFrame::Found::kFrame) return {};
    std::string tag = ExtractMsgTag(unpacked.message);
    if (DecodedArchiveOn(settings)) {
      plan.archive.kind = ArchiveKind::kDiv;
      plan.archive.decoded = std::move(unpacked.message);
    }
    return tag;
  } catch (const std::exception& e) {
    plan.entries.push_back(
        {Cat({kProcessingPrefix, e.what()}), EventType::kError});
    return {};
  }
}

void SetReply(FramePlan& plan, ReplyKind kind, std::string text) {
  plan.kind = kind;
  plan.reply = kind == ReplyKind::kNak ? std::string(1, NAK) : BuildFrame(text);
}

}  // namespace

std::string PakketUitpakken(std::string_view frame, const Settings& settings,
                            std::vector<EventLog::Entry>& entries) {
  try {
    UnpackedFrame unpacked = UnpackFirstFrame(frame);
    if (unpacked.found != UnpackedFrame::Found::kFrame) return {};
    entries.push_back(
        {Cat({kReceivedText, std::to_string(unpacked.length), ": ",
              settings.FOutputToFile, " ", LimitEntryText(unpacked.message)}),
         EventType::kInformation});
    return std::move(unpacked.message);
  } catch (const std::exception& e) {
    entries.push_back({Cat({kProcessingPrefix, e.what()}), EventType::kError});
    return {};
  }
}

// The step takes the buffer's first frame with the bytes before it, and
// nothing else: the raw archive holds those bytes, the unpacks read only
// them, and the frames queued behind wait for steps of their own.
FramePlan PlanFrameStep(std::string_view buffer, const Settings& settings) {
  FramePlan plan;
  plan.taken = FrameEnd(buffer);
  const std::string_view frame = buffer.substr(0, plan.taken);
  plan.archive.raw = frame;
  std::string unpacked = PakketUitpakken(frame, settings, plan.entries);
  if (ExtractMsgType(unpacked) != "COM") {
    const std::string tag = PakketVerwerker(frame, settings, plan);
    SetReply(plan, tag.empty() ? ReplyKind::kNak : ReplyKind::kAck,
             tag.empty() ? std::string() : AckReply(tag, settings));
    return plan;
  }
  plan.com = true;
  // A message was found, so the unpack succeeded and held its entry: every
  // further unpack of this step finds the same frame and holds the same
  // entry. They are repeated, not decoded again.
  const EventLog::Entry entry = plan.entries.back();
  plan.entries.push_back(entry);
  const std::string tag = ExtractMsgTag(unpacked);
  plan.entries.push_back(entry);
  const std::string message = LineListText(unpacked);
  SetReply(plan, tag.empty() ? ReplyKind::kNak : ReplyKind::kInf,
           tag.empty() ? std::string()
                       : InfReply(tag, settings.FVersie,
                                  ReadXMLTagText(message, "Ontvanger"),
                                  ReadXMLTagText(message, "Verzender")));
  if (DecodedArchiveOn(settings)) {
    plan.entries.push_back(entry);
    plan.archive.kind = ArchiveKind::kCom;
    plan.archive.decoded = std::move(unpacked);
  }
  return plan;
}

FrameResult ResolveFrameStep(FramePlan plan, const ArchiveOutcome& outcome) {
  FrameResult result;
  using Failed = ArchiveOutcome::Failed;
  if (outcome.failed == Failed::kRaw) {
    // The step ended before its first unpack: no entries of it.
    result.failure = Cat({kReceiverPrefix, outcome.error});
    return result;
  }
  result.entries = std::move(plan.entries);
  if (outcome.failed == Failed::kDecoded) {
    if (plan.com) {
      result.failure = Cat({kReceiverPrefix, outcome.error});
      return result;
    }
    // PakketVerwerker could not archive the message: it refuses the frame.
    // The frames queued behind it are not touched; each gets its own step.
    result.entries.push_back(
        {Cat({kProcessingPrefix, outcome.error}), EventType::kError});
    plan.kind = ReplyKind::kNak;
    plan.reply.assign(1, NAK);
  }
  result.kind = plan.kind;
  result.reply = std::move(plan.reply);
  (plan.com ? result.remove_after : result.remove_before) = plan.taken;
  return result;
}

}  // namespace kvx
