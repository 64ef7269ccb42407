#include "server/frame_step.h"

#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/event_log.h"
#include "core/frame.h"
#include "core/message_texts.h"
#include "core/settings.h"
#include "fakes/fake_clock.h"
#include "fakes/mem_file_system.h"
#include "fakes/recording_event_sink.h"
#include "platform/error.h"
#include "server/message_archive.h"
#include "server/server_settings.h"

namespace kvx {
namespace {

using namespace std::string_literals;

constexpr char kDir[] = "/srv/XML";
constexpr char kStamp[] = "2505201014030757";  // the fake clock's time
const std::string kNak(1, NAK);

const std::string kComMessage =
    R"(<MSG tag="7" type="COM"><Verzender>ab</Verzender><Ontvanger>cd</Ontvanger></MSG>)";
const std::string kAbcMessage =
    R"(<MSG tag="8" type="ABC"><Verzender>ab</Verzender><Ontvanger>cd</Ontvanger></MSG>)";

std::string Raw(int n) {
  return std::string(kDir) + "/TCP_COMx_" + kStamp + "_" + std::to_string(n) +
         ".TXT";
}
std::string Decoded(const char* kind, int n) {
  return std::string(kDir) + "/" + kind + kStamp + "_" + std::to_string(n) +
         ".XML";
}

using ReplyWriter = std::function<void(std::string_view bytes)>;

// Carries out a resolved step as the connection does: the entries, then the
// reply, the frame removed before it (after it for COM), and the failure's
// entry when the step failed. Returns whether it succeeded.
bool CarryOut(FrameResult result, EventLog& events, std::string& buffer,
              const ReplyWriter& write) {
  if (!result.entries.empty()) events.WriteEventLogs(result.entries);
  if (!result.failed()) {
    buffer.erase(0, result.remove_before);
    try {
      write(result.reply);
      buffer.erase(0, result.remove_after);
    } catch (const std::exception& e) {
      result.failure = std::string("Ontvanger: ") + e.what();
    }
  }
  if (result.failed()) events.WriteEventLog(result.failure, EventType::kError);
  return !result.failed();
}

// One whole frame step: plan, archive files, resolve, carry out.
bool RunStep(const Settings& settings, MessageArchive& archive,
             EventLog& events, std::string& buffer, const ReplyWriter& write) {
  FramePlan plan = PlanFrameStep(buffer, settings);
  const ArchiveOutcome outcome = archive.Write(plan.archive);
  return CarryOut(ResolveFrameStep(std::move(plan), outcome), events, buffer,
                  write);
}

class FrameStepTest : public ::testing::Test {
 protected:
  FrameStepTest() {
    files_.AddDirectory("/srv");
    files_.AddDirectory(kDir);
  }

  bool Step() { return RunStep(settings_, archive_, events_, buffer_, write_); }
  std::vector<RecordedEvent> Events() const { return sink_.Events(); }

  Settings settings_ = TemplateSettings(kDir);
  RecordingEventSink sink_;
  EventLog events_{sink_};
  MemFileSystem files_;
  FakeClock clock_;
  MessageArchive archive_{settings_, files_, clock_};
  std::string buffer_;
  std::vector<std::string> replies_;
  ReplyWriter write_ = [this](std::string_view b) { replies_.emplace_back(b); };
};

TEST_F(FrameStepTest, AnswersComWithInfThenOtherTypesWithAck) {
  const std::string request = BuildFrame(kComMessage);
  ASSERT_EQ(kComMessage.size(), 80u);
  ASSERT_EQ(request.size(), 114u);
  buffer_ = request;
  ASSERT_TRUE(Step());

  const std::string inf =
      "<?xml version=\"1.0\" ?>\r\n"
      "<MSG tag=\"7\" type=\"INF\" protocol=\"CON_KV\" versie=\"1.0\">\r\n"
      "<Verzender>cd</Verzender>\r\n"
      "<Ontvanger>ab</Ontvanger>\r\n"
      "<Kavero>\r\n"
      "<KaveroInfo></KaveroInfo>\r\n"
      "</Kavero>\r\n"
      "</MSG>\r\n";
  ASSERT_EQ(inf.size(), 191u);
  ASSERT_EQ(replies_.size(), 1u);
  EXPECT_EQ(replies_[0], BuildFrame(inf));
  EXPECT_EQ(replies_[0].size(), 262u);
  EXPECT_EQ(replies_[0].substr(0, 5),
            "\x01"
            "256\x02");
  EXPECT_EQ(files_.Content(Raw(1)), request + "\r\n");
  EXPECT_EQ(files_.Content(Decoded("TCP_COM_", 1)), kComMessage + "\r\n");
  EXPECT_EQ(archive_.FileCounter(), 2);
  const RecordedEvent info{
      "KaveroTCPIP", EventType::kInformation, 1, 0,
      "Pakket ontvangen met lengte van: 108: True " + kComMessage};
  EXPECT_EQ(Events(), std::vector<RecordedEvent>(4, info));
  EXPECT_EQ(buffer_, "");

  sink_.Clear();
  replies_.clear();
  buffer_ = BuildFrame(kAbcMessage);
  ASSERT_TRUE(Step());
  const std::string ack =
      "<?xml version=\"1.0\" ?>\r\n"
      "<MSG tag=\"8\" type=\"ACK\" protocol=\"CON_KV\" versie=\"1.0\">\r\n"
      "<Verzender>kav</Verzender>\r\n"
      "<Ontvanger>kav</Ontvanger>\r\n"
      "</MSG>\r\n";
  ASSERT_EQ(ack.size(), 145u);
  ASSERT_EQ(replies_.size(), 1u);
  EXPECT_EQ(replies_[0], BuildFrame(ack));
  EXPECT_EQ(replies_[0].size(), 202u);
  EXPECT_EQ(files_.Content(Raw(2)), BuildFrame(kAbcMessage) + "\r\n");
  EXPECT_EQ(files_.Content(Decoded("TCP_DIV_", 2)), kAbcMessage + "\r\n");
  EXPECT_EQ(archive_.FileCounter(), 3);
  ASSERT_EQ(Events().size(), 1u);
  EXPECT_EQ(Events()[0].text,
            "Pakket ontvangen met lengte van: 108: True " + kAbcMessage);
  EXPECT_EQ(buffer_, "");
}

TEST_F(FrameStepTest, RefusesWithNakAndRemovesTheFrame) {
  const struct {
    const char* name;
    std::string frame;
  } kCases[] = {
      {"no tag", BuildFrame(R"(<MSG type="COM"></MSG>)")},
      {"tag not first", BuildFrame(R"(<MSG type="COM" tag="7"></MSG>)")},
      {"empty tag", BuildFrame(R"(<MSG tag="" type="ABC"></MSG>)")},
      {"other type, no tag", BuildFrame(R"(<MSG type="ABC"></MSG>)")},
      {"no STX",
       "\x01"
       "8PE1TRy8+\x04"s},
      {"NUL before EOT",
       "\x01"
       "8\x02PE\0TRy8+\x04"s},
      {"NUL before SOH",
       "ab\0\x01"
       "8\x02PE1TRy8+\x04"s},
  };
  for (const auto& c : kCases) {
    replies_.clear();
    buffer_ = c.frame + "next";
    ASSERT_TRUE(Step()) << c.name;
    EXPECT_EQ(replies_, std::vector<std::string>{kNak}) << c.name;
    EXPECT_EQ(buffer_, "next") << c.name;
  }
  // The four messages were archived (with or without a tag); the frames
  // without STX or hidden by a NUL byte have no message to archive.
  // The raw-only files of one second do not replace each other: the last
  // three take 5, 6 and 7.
  EXPECT_EQ(archive_.FileCounter(), 7);
  EXPECT_EQ(files_.Files().size(), 11u) << "raw files 1 to 7, decoded 1 to 4";
  EXPECT_TRUE(files_.FileExists(Raw(7)));
}

TEST_F(FrameStepTest, TakesFramesOneAtATimeAndDropsBytesBeforeTheSoh) {
  const std::string first = BuildFrame(kAbcMessage);
  const std::string second = BuildFrame(kComMessage);
  buffer_ = "noise\r\n" + first + second;
  ASSERT_TRUE(Step());
  EXPECT_EQ(buffer_, second);
  EXPECT_EQ(files_.Content(Raw(1)), "noise\r\n" + first + "\r\n")
      << "the raw archive holds what the step takes, not the frame behind";
  ASSERT_TRUE(Step());
  EXPECT_EQ(buffer_, "");
  EXPECT_EQ(files_.Content(Raw(2)), second + "\r\n");
  ASSERT_EQ(replies_.size(), 2u);
  EXPECT_EQ(ExtractMsgType(UnpackFirstFrame(replies_[0]).message), "ACK");
  EXPECT_EQ(ExtractMsgType(UnpackFirstFrame(replies_[1]).message), "INF");
}

// Stray EOT bytes before, between or inside frames never make a step of
// their own: every frame is answered once and archived once, and the stray
// bytes go into the raw file of the frame that takes them.
TEST_F(FrameStepTest, StrayEotsNeverMakeAStepOfTheirOwn) {
  const std::string com = BuildFrame(kComMessage);
  const std::string abc = BuildFrame(kAbcMessage);
  const std::string eots(3, EOT);
  const struct {
    const char* name;
    std::string buffer;
    std::vector<std::string> types;  // of the replies, in order
    std::string left;
  } kCases[] = {
      {"before", eots + com, {"INF"}, ""},
      {"between", com + eots + abc, {"INF", "ACK"}, ""},
      {"behind", abc + eots, {"ACK"}, eots},
      {"inside the payload",
       com.substr(0, 30) + EOT + com.substr(30),
       {"ACK"},
       com.substr(30)},
      {"partial frame behind",
       eots + abc.substr(0, 60),
       {},
       eots + abc.substr(0, 60)},
  };
  for (const auto& c : kCases) {
    // Each case on an archive of its own: raw files of refused frames share
    // a number with the next one.
    MemFileSystem files;
    files.AddDirectory("/srv");
    files.AddDirectory(kDir);
    MessageArchive archive(settings_, files, clock_);
    std::vector<std::string> replies;
    const ReplyWriter write = [&](std::string_view b) {
      replies.emplace_back(b);
    };
    std::string buffer = c.buffer;
    while (HasFrameMarkers(buffer)) {
      ASSERT_TRUE(RunStep(settings_, archive, events_, buffer, write))
          << c.name;
    }
    EXPECT_EQ(buffer, c.left) << c.name;
    std::vector<std::string> types;
    for (const auto& r : replies) {
      types.push_back(r == kNak ? "NAK"
                                : ExtractMsgType(UnpackFirstFrame(r).message));
    }
    EXPECT_EQ(types, c.types) << c.name;
    // One raw file per reply; together they hold exactly the bytes taken.
    std::size_t raw_bytes = 0;
    int raw_files = 0;
    for (const auto& [path, content] : files.Files()) {
      if (path.find("/TCP_COMx_") == std::string::npos) continue;
      ++raw_files;
      raw_bytes += content.size() - 2;  // the line end of the one line
    }
    EXPECT_EQ(raw_files, static_cast<int>(c.types.size())) << c.name;
    EXPECT_EQ(raw_bytes, c.buffer.size() - c.left.size()) << c.name;
  }
}

// Pipelined frames: the archive grows with what arrives, not with the
// square of it.
TEST_F(FrameStepTest, ArchiveBytesStayInProportionToTheBytesReceived) {
  std::string all;
  for (int i = 0; i < 200; ++i) all += BuildFrame(kAbcMessage);
  buffer_ = all;
  while (HasFrameMarkers(buffer_)) ASSERT_TRUE(Step());
  EXPECT_EQ(replies_.size(), 200u);
  std::size_t archived = 0;
  for (const auto& [path, content] : files_.Files()) archived += content.size();
  EXPECT_LE(archived, 2 * all.size());
}

TEST_F(FrameStepTest, ArchivesDecodedMessagesOnlyForExactlyTrue) {
  // Every frame of the (standing) second keeps its raw file: each takes
  // the next number, and the counter stays at the number used.
  int frames = 0;
  for (const char* flag : {"true", "True ", " True", "", "TRUE"}) {
    settings_.FOutputToFile = flag;
    for (const std::string& m : {kComMessage, kAbcMessage}) {
      buffer_ = BuildFrame(m);
      ASSERT_TRUE(Step()) << flag;
      ++frames;
      EXPECT_EQ(files_.Content(Raw(frames)), BuildFrame(m) + "\r\n") << flag;
    }
    EXPECT_EQ(archive_.FileCounter(), frames) << flag;
    EXPECT_EQ(files_.Files().size(), static_cast<std::size_t>(frames))
        << "only TCP_COMx_ for " << flag;
  }
  EXPECT_EQ(replies_.size(), 10u);
  EXPECT_EQ(sink_.Texts()[0].substr(0, 43),
            "Pakket ontvangen met lengte van: 108: true ");
}

TEST_F(FrameStepTest, KeepsTheFrameWhenTheRawArchiveFailsAndRecovers) {
  files_.FailWritesUnder(kDir);
  const std::string frame = BuildFrame(kComMessage);
  buffer_ = frame;
  EXPECT_FALSE(Step());
  EXPECT_EQ(buffer_, frame);
  EXPECT_TRUE(replies_.empty());
  EXPECT_EQ(sink_.Texts(),
            std::vector<std::string>{"Ontvanger: " +
                                     CannotCreateFileMessage(Raw(1), EACCES)});
  EXPECT_EQ(archive_.FileCounter(), 1);

  files_.ClearFailures();
  EXPECT_TRUE(Step());
  EXPECT_EQ(buffer_, "");
  EXPECT_EQ(replies_.size(), 1u);
  EXPECT_TRUE(files_.FileExists(Decoded("TCP_COM_", 1)));
}

TEST_F(FrameStepTest, ComArchiveFailureKeepsTheFrameDivFailureRefuses) {
  files_.FailWritesUnder(std::string(kDir) + "/TCP_COM_");
  buffer_ = BuildFrame(kComMessage) + "x";
  EXPECT_FALSE(Step());
  EXPECT_EQ(buffer_, BuildFrame(kComMessage) + "x");
  EXPECT_TRUE(replies_.empty());
  ASSERT_EQ(sink_.Texts().size(), 5u) << "four unpack entries, the failure";
  EXPECT_EQ(sink_.Texts()[3].substr(0, 33),
            "Pakket ontvangen met lengte van: ");
  EXPECT_EQ(sink_.Texts().back().substr(0, 31),
            "Ontvanger: Cannot create file \"");

  files_.FailWritesUnder(std::string(kDir) + "/TCP_DIV_");
  buffer_ = BuildFrame(kAbcMessage) + "x";
  EXPECT_TRUE(Step());
  EXPECT_EQ(buffer_, "x") << "a failed PakketVerwerker takes only its frame";
  EXPECT_EQ(replies_, std::vector<std::string>{kNak});
  // The failed COM frame's raw file holds number 1, so this frame takes 2.
  EXPECT_EQ(
      sink_.Texts().back(),
      "Verwerking: " + CannotCreateFileMessage(Decoded("TCP_DIV_", 2), EACCES));
  EXPECT_EQ(archive_.FileCounter(), 2);
}

TEST_F(FrameStepTest, AReplyThatCannotBeWrittenKeepsOnlyAComFrame) {
  write_ = [](std::string_view) { throw KvxError("trace broken"); };
  buffer_ = BuildFrame(kComMessage);
  EXPECT_FALSE(Step());
  EXPECT_EQ(buffer_, BuildFrame(kComMessage));
  buffer_ = BuildFrame(kAbcMessage);
  EXPECT_FALSE(Step());
  EXPECT_EQ(buffer_, "");
  EXPECT_EQ(sink_.Texts().back(), "Ontvanger: trace broken");
}

TEST_F(FrameStepTest, EntriesAreWrittenBeforeTheReply) {
  std::vector<std::size_t> entries_at_reply;
  write_ = [&](std::string_view) {
    entries_at_reply.push_back(sink_.Texts().size());
  };
  buffer_ = BuildFrame(kComMessage) + BuildFrame(kAbcMessage);
  EXPECT_TRUE(Step());
  EXPECT_TRUE(Step());
  EXPECT_EQ(entries_at_reply, (std::vector<std::size_t>{4, 5}));
}

TEST_F(FrameStepTest, CounterWrapsAfterTenThousand) {
  archive_.SetFileCounter(10000);
  buffer_ = BuildFrame(kAbcMessage);
  ASSERT_TRUE(Step());
  EXPECT_TRUE(files_.FileExists(Raw(10000)));
  EXPECT_TRUE(files_.FileExists(Decoded("TCP_DIV_", 10000)));
  EXPECT_EQ(archive_.FileCounter(), 1);
}

TEST_F(FrameStepTest, ArchivesMessageLinesWithCrLf) {
  buffer_ = BuildFrame("<MSG tag=\"1\" type=\"ABC\">\n<A/>\r</MSG>");
  ASSERT_TRUE(Step());
  EXPECT_EQ(files_.Content(Decoded("TCP_DIV_", 1)),
            "<MSG tag=\"1\" type=\"ABC\">\r\n<A/>\r\n</MSG>\r\n");
}

// While a step's files are written elsewhere the connection may have read
// more bytes; they stay behind whatever the step leaves, also when the step
// empties the buffer.
TEST_F(FrameStepTest, BytesReadWhileTheFilesAreWrittenStayBehindTheStep) {
  const std::string later = BuildFrame(kComMessage).substr(0, 9);
  const struct {
    const char* name;
    std::string message;
    const char* fail_under;  // archive files that cannot be written
    bool done;
    std::string remains;  // of the buffer as prepared
  } kCases[] = {
      {"COM answered", kComMessage, nullptr, true, "x"},
      {"COM archive fails", kComMessage, "/TCP_COM_", false,
       BuildFrame(kComMessage) + "x"},
      {"DIV answered", kAbcMessage, nullptr, true, "x"},
      {"DIV archive fails", kAbcMessage, "/TCP_DIV_", true, "x"},
      {"raw archive fails", kAbcMessage, "/TCP_COMx_", false,
       BuildFrame(kAbcMessage) + "x"},
  };
  for (const auto& c : kCases) {
    files_.ClearFailures();
    if (c.fail_under) files_.FailWritesUnder(std::string(kDir) + c.fail_under);
    buffer_ = BuildFrame(c.message) + "x";
    FramePlan plan = PlanFrameStep(buffer_, settings_);
    EXPECT_EQ(plan.archive.raw, BuildFrame(c.message)) << c.name;
    const ArchiveOutcome outcome = archive_.Write(plan.archive);
    buffer_ += later;
    EXPECT_EQ(CarryOut(ResolveFrameStep(std::move(plan), outcome), events_,
                       buffer_, write_),
              c.done)
        << c.name;
    EXPECT_EQ(buffer_, c.remains + later) << c.name;
  }
}

// Planning writes nothing; a step whose raw file fails leaves no unpack
// entries, only the failure.
TEST_F(FrameStepTest, PlanningWritesNothingAndAFailedRawFileDropsItsEntries) {
  buffer_ = BuildFrame(kComMessage) + "x";
  FramePlan plan = PlanFrameStep(buffer_, settings_);
  EXPECT_TRUE(files_.Files().empty());
  EXPECT_TRUE(Events().empty());
  EXPECT_EQ(plan.entries.size(), 4u);
  EXPECT_EQ(plan.taken, BuildFrame(kComMessage).size());
  EXPECT_EQ(plan.kind, ReplyKind::kInf);
  ArchiveOutcome failed;
  failed.failed = ArchiveOutcome::Failed::kRaw;
  failed.error = "disk gone";
  const FrameResult result = ResolveFrameStep(std::move(plan), failed);
  EXPECT_TRUE(result.entries.empty());
  EXPECT_EQ(result.failure, "Ontvanger: disk gone");
  EXPECT_EQ(result.remove_before + result.remove_after, 0u);
}

TEST_F(FrameStepTest, CopiesValuesIntoTheInfReplyUnchanged) {
  buffer_ = BuildFrame(
      R"(<MSG tag="a<&" type="COM"><Verzender>x&"<y</Verzender></MSG>)");
  ASSERT_TRUE(Step());
  ASSERT_EQ(replies_.size(), 1u);
  EXPECT_EQ(UnpackFirstFrame(replies_[0]).message,
            InfReply("a<&", "1.0", "", "x&\"<y"));
  EXPECT_NE(InfReply("a<&", "1.0", "", "x&\"<y")
                .find("<Verzender></Verzender>\r\n<Ontvanger>x&\"<y<"),
            std::string::npos);
}

}  // namespace
}  // namespace kvx
