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

// The raw archive comes first in the step; the unpacks that follow it work
// on a copy of the buffer here, and their effects (the entries, a buffer
// emptied by a failed unpack) take effect only in the second half, once the
// raw file is written.
PreparedStep MessageHandler::PrepareFrameStep(
    const std::string& FReceiveBuffer) const {
  PreparedStep step;
  step.archive.raw = FReceiveBuffer;
  step.found = FReceiveBuffer.size();
  std::string buffer = FReceiveBuffer;
  const std::string unpacked = PakketUitpakken(buffer, step.entries);
  if (ExtractMsgType(unpacked) == "COM") {
    step.com = true;
    // A message was found, so the unpack succeeded, held its entry and left
    // the buffer as it was: every further unpack of this step finds the same
    // frame and holds the same entry. They are repeated, not decoded again.
    const EventLog::Entry entry = step.entries.back();
    const auto unpack_again = [&] {
      step.entries.push_back(entry);
      return unpacked;
    };
    const std::string tag = ExtractMsgTag(unpack_again());
    const LineList message(unpack_again());
    if (archive_.Enabled()) {
      step.archive.kind = ArchiveKind::kCom;
      step.archive.decoded = unpack_again();
    }
    step.reply = tag.empty()
                     ? std::string(1, NAK)
                     : BuildFrame(InfReply(tag, settings_.FVersie,
                                           ReadXMLTag(message, "Ontvanger"),
                                           ReadXMLTag(message, "Verzender")));
    RemoveFrame(buffer);
  } else {
    const std::string tag = PakketVerwerker(buffer, step);
    step.reply = tag.empty() ? std::string(1, NAK)
                             : BuildFrame(AckReply(tag, settings_));
  }
  step.taken = step.found - buffer.size();
  return step;
}

bool MessageHandler::FinishFrameStep(PreparedStep& step,
                                     const ArchiveOutcome& outcome,
                                     std::string& FReceiveBuffer,
                                     const ReplyWriter& write) {
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
      // PakketVerwerker could not archive the message: it refuses the frame
      // and empties the buffer.
      step.entries.push_back(
          {Cat({kProcessingPrefix, outcome.error}), EventType::kError});
      step.taken = step.found;
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
    events_.WriteEventLog(Cat({kReceiverPrefix, e.what()}), EventType::kError);
    return false;
  }
}

std::string MessageHandler::PakketUitpakken(
    std::string& FReceiveBuffer, std::vector<EventLog::Entry>& entries) const {
  try {
    UnpackedFrame frame = UnpackFirstFrame(FReceiveBuffer);
    if (frame.found != UnpackedFrame::Found::kFrame) return {};
    entries.push_back({Cat({kReceivedText, std::to_string(frame.length), ": ",
                            settings_.FOutputToFile, " ", frame.message}),
                       EventType::kInformation});
    return std::move(frame.message);
  } catch (const std::exception& e) {
    entries.push_back({Cat({kProcessingPrefix, e.what()}), EventType::kError});
    FReceiveBuffer.clear();
    return {};
  }
}

std::string MessageHandler::PakketVerwerker(std::string& FReceiveBuffer,
                                            PreparedStep& step) const {
  try {
    UnpackedFrame frame = UnpackFirstFrame(FReceiveBuffer);
    std::string tag;
    if (frame.found == UnpackedFrame::Found::kFrame) {
      tag = ExtractMsgTag(frame.message);
      if (archive_.Enabled()) {
        step.archive.kind = ArchiveKind::kDiv;
        step.archive.decoded = std::move(frame.message);
      }
    }
    // kNone here means a NUL byte hid the markers that the raw buffer holds;
    // such a frame would otherwise stay in the buffer for ever.
    RemoveFrame(FReceiveBuffer);
    return tag;
  } catch (const std::exception& e) {
    step.entries.push_back(
        {Cat({kProcessingPrefix, e.what()}), EventType::kError});
    FReceiveBuffer.clear();
    return {};
  }
}

}  // namespace kvx
