#include "server/message_handler.h"

#include "core/config.h"
#include "core/event_log.h"
#include "core/frame.h"
#include "core/line_list.h"
#include "core/settings.h"
#include "platform/error.h"
#include "server/message_archive.h"

namespace kvx {
namespace {

constexpr std::string_view kTypeMarker = "type=\"";
constexpr std::string_view kTagMarker = "<MSG tag=\"";
constexpr std::string_view kReceivedText = "Pakket ontvangen met lengte van: ";
constexpr std::string_view kReceiverPrefix = "Ontvanger: ";
constexpr std::string_view kProcessingPrefix = "Verwerking: ";

std::string ExtractAfter(std::string_view message, std::string_view marker) {
  const std::size_t at = message.find(marker);
  if (at == std::string_view::npos) return {};
  std::string_view rest = message.substr(at + marker.size());
  return std::string(rest.substr(0, rest.find('"')));
}

std::string Cat(std::initializer_list<std::string_view> parts) {
  std::string text;
  for (const auto part : parts) text += part;
  return text;
}

}  // namespace

std::string ExtractMsgType(std::string_view message) {
  return ExtractAfter(message, kTypeMarker);
}

std::string ExtractMsgTag(std::string_view message) {
  return ExtractAfter(message, kTagMarker);
}

std::string InfReply(std::string_view tag, std::string_view versie,
                     std::string_view receiver, std::string_view sender) {
  return Cat({"<?xml version=\"1.0\" ?>\r\n", "<MSG tag=\"", tag,
              "\" type=\"INF\" protocol=\"CON_KV\" versie=\"", versie,
              "\">\r\n", "<Verzender>", receiver, "</Verzender>\r\n",
              "<Ontvanger>", sender, "</Ontvanger>\r\n", "<Kavero>\r\n",
              "<KaveroInfo></KaveroInfo>\r\n", "</Kavero>\r\n", "</MSG>\r\n"});
}

std::string AckReply(std::string_view tag, const Settings& settings) {
  return Cat({"<?xml version=\"1.0\" ?>\r\n", "<MSG tag=\"", tag,
              "\" type=\"ACK\" protocol=\"", settings.FProtocol, "\" versie=\"",
              settings.FVersie, "\">\r\n", "<Verzender>", settings.FVerzender,
              "</Verzender>\r\n", "<Ontvanger>", settings.FOntvanger,
              "</Ontvanger>\r\n", "</MSG>\r\n"});
}

MessageHandler::MessageHandler(const Settings& settings, EventLog& events,
                               MessageArchive& archive)
    : settings_(settings), events_(events), archive_(archive) {}

bool MessageHandler::FrameStep(std::string& FReceiveBuffer,
                               const ReplyWriter& write) {
  PreparedStep step = PrepareFrameStep(FReceiveBuffer);
  const ArchiveOutcome outcome = archive_.Write(step.archive);
  return FinishFrameStep(step, outcome, FReceiveBuffer, write);
}

// The step takes the buffer's first frame with the bytes before it, and
// nothing else: the raw archive holds those bytes, the unpacks read only
// them, and the frames queued behind wait for steps of their own. The raw
// archive comes first in the step; the effects of the unpacks (the entries)
// take effect only in the second half, once the raw file is written.
PreparedStep MessageHandler::PrepareFrameStep(
    const std::string& FReceiveBuffer) const {
  PreparedStep step;
  step.found = FReceiveBuffer.size();
  step.taken = FrameEnd(FReceiveBuffer);
  const std::string_view frame =
      std::string_view(FReceiveBuffer).substr(0, step.taken);
  step.archive.raw = frame;
  std::string unpacked = PakketUitpakken(frame, step.entries);
  if (ExtractMsgType(unpacked) == "COM") {
    step.com = true;
    // A message was found, so the unpack succeeded and held its entry:
    // every further unpack of this step finds the same frame and holds the
    // same entry. They are repeated, not decoded again.
    const EventLog::Entry entry = step.entries.back();
    step.entries.push_back(entry);
    const std::string tag = ExtractMsgTag(unpacked);
    step.entries.push_back(entry);
    const std::string message = LineListText(unpacked);
    step.reply =
        tag.empty()
            ? std::string(1, NAK)
            : BuildFrame(InfReply(tag, settings_.FVersie,
                                  ReadXMLTagText(message, "Ontvanger"),
                                  ReadXMLTagText(message, "Verzender")));
    if (archive_.Enabled()) {
      step.entries.push_back(entry);
      step.archive.kind = ArchiveKind::kCom;
      step.archive.decoded = std::move(unpacked);
    }
  } else {
    const std::string tag = PakketVerwerker(frame, step);
    step.reply = tag.empty() ? std::string(1, NAK)
                             : BuildFrame(AckReply(tag, settings_));
  }
  return step;
}

bool MessageHandler::FinishFrameStep(PreparedStep& step,
                                     const ArchiveOutcome& outcome,
                                     std::string& FReceiveBuffer,
                                     const ReplyWriter& write,
                                     const ErrorWriter& report) {
  const auto flush = [&] {
    if (!step.entries.empty()) events_.WriteEventLogs(step.entries);
    step.entries.clear();
  };
  // Bytes that arrived after the first half stay behind what the step left.
  const auto take = [&] { FReceiveBuffer.erase(0, step.taken); };
  try {
    if (outcome.failed == ArchiveOutcome::Failed::kRaw) {
      // The step ended before its first unpack.
      step.entries.clear();
      throw KvxError(outcome.error);
    }
    if (outcome.failed == ArchiveOutcome::Failed::kDecoded) {
      if (step.com) {
        flush();
        throw KvxError(outcome.error);
      }
      // PakketVerwerker could not archive the message: it refuses the frame.
      // The frames queued behind it are not touched; each gets its own step
      // and its own reply.
      step.entries.push_back(
          {Cat({kProcessingPrefix, outcome.error}), EventType::kError});
      step.reply.assign(1, NAK);
    }
    // PakketVerwerker has removed the frame before the reply; a COM frame
    // leaves only after its reply, so that a reply that cannot be written
    // leaves it to a later step.
    if (!step.com) take();
    flush();
    write(step.reply);
    if (step.com) take();
    return true;
  } catch (const Abort&) {
    return false;
  } catch (const std::exception& e) {
    // The step's own entries come first, as they happened.
    flush();
    const std::string text = Cat({kReceiverPrefix, e.what()});
    if (report) {
      report(text);
    } else {
      events_.WriteEventLog(text, EventType::kError);
    }
    return false;
  }
}

std::string MessageHandler::PakketUitpakken(
    std::string_view frame, std::vector<EventLog::Entry>& entries) const {
  try {
    UnpackedFrame unpacked = UnpackFirstFrame(frame);
    if (unpacked.found != UnpackedFrame::Found::kFrame) return {};
    entries.push_back(
        {Cat({kReceivedText, std::to_string(unpacked.length), ": ",
              settings_.FOutputToFile, " ", LimitEntryText(unpacked.message)}),
         EventType::kInformation});
    return std::move(unpacked.message);
  } catch (const std::exception& e) {
    entries.push_back({Cat({kProcessingPrefix, e.what()}), EventType::kError});
    return {};
  }
}

std::string MessageHandler::PakketVerwerker(std::string_view frame,
                                            PreparedStep& step) const {
  try {
    UnpackedFrame unpacked = UnpackFirstFrame(frame);
    std::string tag;
    // kNone here means a NUL byte hid the markers that the frame holds; the
    // step takes it all the same, so that it never stays in the buffer.
    if (unpacked.found == UnpackedFrame::Found::kFrame) {
      tag = ExtractMsgTag(unpacked.message);
      if (archive_.Enabled()) {
        step.archive.kind = ArchiveKind::kDiv;
        step.archive.decoded = std::move(unpacked.message);
      }
    }
    return tag;
  } catch (const std::exception& e) {
    step.entries.push_back(
        {Cat({kProcessingPrefix, e.what()}), EventType::kError});
    return {};
  }
}

}  // namespace kvx
