#include "server/message_handler.h"

#include "platform/error.h"
#include "platform/line_list.h"
#include "server/frame.h"
#include "server/message_archive.h"
#include "service/config.h"
#include "service/event_log.h"
#include "service/settings.h"

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

void StepEntries::Add(std::string text, EventType type) {
  entries_.push_back({std::move(text), type});
}

void StepEntries::Flush() {
  if (entries_.empty()) return;
  events_.WriteEventLogs(entries_);
  entries_.clear();
}

MessageHandler::MessageHandler(const Settings& settings, EventLog& events,
                               MessageArchive& archive)
    : settings_(settings), events_(events), archive_(archive) {}

bool MessageHandler::FrameStep(std::string& FReceiveBuffer,
                               const ReplyWriter& write) {
  StepEntries entries(events_);
  try {
    RunFrameStep(FReceiveBuffer, write, entries);
    return true;
  } catch (const Abort&) {
    return false;
  } catch (const std::exception& e) {
    // The step's own entries come first, as they happened.
    entries.Flush();
    events_.WriteEventLog(Cat({kReceiverPrefix, e.what()}), EventType::kError);
    return false;
  }
}

// Every unpack reads the buffer afresh and writes its own information entry,
// so a COM message is unpacked three times (four with archiving on). The
// entries are held until the archive is released and written before the
// reply.
void MessageHandler::RunFrameStep(std::string& FReceiveBuffer,
                                  const ReplyWriter& write,
                                  StepEntries& entries) {
  ArchivePass pass(archive_);
  pass.WriteRaw(FReceiveBuffer);
  const std::string type =
      ExtractMsgType(PakketUitpakken(FReceiveBuffer, entries));
  if (type == "COM") {
    const std::string tag =
        ExtractMsgTag(PakketUitpakken(FReceiveBuffer, entries));
    const LineList message(PakketUitpakken(FReceiveBuffer, entries));
    if (archive_.Enabled()) {
      pass.WriteDecoded(ArchiveKind::kCom,
                        PakketUitpakken(FReceiveBuffer, entries));
    }
    pass.Release();
    entries.Flush();
    if (tag.empty()) {
      write(std::string(1, NAK));
    } else {
      write(BuildFrame(InfReply(tag, settings_.FVersie,
                                ReadXMLTag(message, "Ontvanger"),
                                ReadXMLTag(message, "Verzender"))));
    }
    // Only after the reply: a reply that cannot be written leaves the frame
    // in the buffer, to be answered by a later step.
    RemoveFrame(FReceiveBuffer);
    return;
  }
  const std::string tag = PakketVerwerker(FReceiveBuffer, pass, entries);
  pass.Release();
  entries.Flush();
  write(tag.empty() ? std::string(1, NAK)
                    : BuildFrame(AckReply(tag, settings_)));
}

std::string MessageHandler::PakketUitpakken(std::string& FReceiveBuffer) {
  StepEntries entries(events_);
  return PakketUitpakken(FReceiveBuffer, entries);
}

std::string MessageHandler::PakketUitpakken(std::string& FReceiveBuffer,
                                            StepEntries& entries) {
  try {
    UnpackedFrame frame = UnpackFirstFrame(FReceiveBuffer);
    if (frame.found != UnpackedFrame::Found::kFrame) return {};
    entries.Add(Cat({kReceivedText, std::to_string(frame.length), ": ",
                     settings_.FOutputToFile, " ", frame.message}),
                EventType::kInformation);
    return std::move(frame.message);
  } catch (const std::exception& e) {
    entries.Add(Cat({kProcessingPrefix, e.what()}), EventType::kError);
    FReceiveBuffer.clear();
    return {};
  }
}

std::string MessageHandler::PakketVerwerker(std::string& FReceiveBuffer,
                                            ArchivePass& pass,
                                            StepEntries& entries) {
  try {
    const UnpackedFrame frame = UnpackFirstFrame(FReceiveBuffer);
    std::string tag;
    if (frame.found == UnpackedFrame::Found::kFrame) {
      if (archive_.Enabled()) {
        pass.WriteDecoded(ArchiveKind::kDiv, frame.message);
      }
      tag = ExtractMsgTag(frame.message);
    }
    // kNone here means a NUL byte hid the markers that the raw buffer holds;
    // such a frame would otherwise stay in the buffer for ever.
    RemoveFrame(FReceiveBuffer);
    return tag;
  } catch (const std::exception& e) {
    entries.Add(Cat({kProcessingPrefix, e.what()}), EventType::kError);
    FReceiveBuffer.clear();
    return {};
  }
}

}  // namespace kvx
