// Fuzzes the frame step on one connection's receive buffer: the input
// arrives in chunks, and after each chunk the frame steps run while the
// buffer holds a frame, as the connection runs them: planned, archived,
// resolved, carried out.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "core/event_log.h"
#include "core/frame.h"
#include "core/settings.h"
#include "fakes/fake_clock.h"
#include "fakes/mem_file_system.h"
#include "fakes/recording_event_sink.h"
#include "core/message_texts.h"
#include "server/frame_step.h"
#include "server/message_archive.h"
#include "server/server_settings.h"

namespace {

constexpr char kDir[] = "/XML";
// Archive bytes written per byte received, at most: the raw file holds the
// bytes a step takes plus a line end, the decoded file no more than their
// line-list text (every lone CR or LF becomes CR LF) decoded.
constexpr std::size_t kArchivePerByte = 4;
constexpr std::size_t kArchivePerStep = 4;  // the line ends of two files

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

// The reply the step must give for the buffer's first frame: NAK without a
// tag, else a frame whose envelope has that tag and type INF (a COM
// message) or ACK.
void CheckReply(const std::string& before, const std::string& reply) {
  const kvx::UnpackedFrame frame = kvx::UnpackFirstFrame(before);
  const std::string tag = kvx::ExtractMsgTag(frame.message);
  if (tag.empty()) {
    Check(reply == std::string(1, kvx::NAK), "NAK for a frame without a tag");
    return;
  }
  Check(reply.size() >= 3 && reply.front() == kvx::SOH &&
            reply.back() == kvx::EOT,
        "reply is a frame");
  const std::size_t stx = reply.find(kvx::STX);
  Check(stx != std::string::npos, "reply has STX");
  const std::string_view payload =
      std::string_view(reply).substr(stx + 1, reply.size() - stx - 2);
  Check(reply.substr(1, stx - 1) == std::to_string(payload.size()),
        "reply length field");
  for (const char c : reply) {
    Check(static_cast<unsigned char>(c) < 0x80, "reply bytes below 0x80");
  }
  // The tag is copied as it is (it may hold `type=` itself), so the
  // envelope's head is compared whole.
  const bool com = kvx::ExtractMsgType(frame.message) == "COM";
  const std::string head = "<?xml version=\"1.0\" ?>\r\n<MSG tag=\"" + tag +
                           (com ? "\" type=\"INF\" " : "\" type=\"ACK\" ");
  Check(kvx::DecodeBase64(payload).rfind(head, 0) == 0, "reply type and tag");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes,
                                      std::size_t size) {
  const kvx::Settings settings = kvx::TemplateSettings(kDir);
  kvx::RecordingEventSink sink;
  kvx::EventLog events(sink);
  kvx::MemFileSystem files;
  files.AddDirectory(kDir);
  kvx::FakeClock clock;
  kvx::MessageArchive archive(settings, files, clock);

  std::string FReceiveBuffer;
  std::size_t frames = 0;
  const std::string_view input(reinterpret_cast<const char*>(bytes), size);
  std::size_t at = 0;
  while (at < input.size()) {
    // The chunk's first byte chooses its length (1 to 16), so the fuzzer
    // controls where frames are cut.
    const std::size_t chunk =
        1 + (static_cast<unsigned char>(input[at]) & 0x0F);
    FReceiveBuffer.append(input.substr(at, chunk));
    at += chunk;
    while (kvx::HasFrameMarkers(FReceiveBuffer)) {
      const std::string before = FReceiveBuffer;
      kvx::FramePlan plan = kvx::PlanFrameStep(FReceiveBuffer, settings);
      const kvx::ArchiveOutcome outcome = archive.Write(plan.archive);
      kvx::FrameResult result =
          kvx::ResolveFrameStep(std::move(plan), outcome);
      Check(!result.failed(), "a step with a working archive succeeds");
      events.WriteEventLogs(result.entries);
      FReceiveBuffer.erase(0, result.remove_before + result.remove_after);
      CheckReply(before, result.reply);
      Check(before.size() - FReceiveBuffer.size() == kvx::FrameEnd(before),
            "a step takes exactly its frame and the bytes before it");
      ++frames;
    }
  }
  // Every frame of the input was answered once: the frames are the SOHs
  // that have an EOT after them, counted as the frame rule reads them.
  std::size_t want = 0;
  for (std::string_view rest = input;
       const std::size_t end = kvx::FrameEnd(rest);) {
    ++want;
    rest.remove_prefix(end);
  }
  Check(frames == want, "one reply per frame");
  std::size_t archived = 0;
  for (const auto& [path, content] : files.Files()) archived += content.size();
  Check(archived <= kArchivePerByte * input.size() + kArchivePerStep * frames,
        "archive bytes bounded by the bytes received");
  return 0;
}
