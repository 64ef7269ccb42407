// The JSON-lines and stderr sinks, and the choice by KVX_EVENT_LOG.
#include "platform/event_sinks.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <thread>

#include "core/codepage.h"
#include "fakes/fake_clock.h"
#include "fakes/json_event.h"
#include "fakes/read_file.h"
#include "fakes/temp_dir.h"

namespace kvx {
namespace {

class JsonSinkTest : public ::testing::Test {
 protected:
  TempDir dir_;
  std::string path_ = dir_.path() + "/events.jsonl";
  FakeClock clock_;
};

TEST_F(JsonSinkTest, WritesOneExactLinePerEntry) {
  clock_.SetNow({2010, 5, 25, 14, 3, 7, 45});
  auto sink = MakeJsonFileSink(path_, clock_);
  sink->Report({"KaveroTCPIP", EventType::kInformation, 1, 0,
                "Kavero TCP/IP server werd met succes ge\xEFnstalleerd"});
  sink->Report({"KvxTCPServer", EventType::kError, 0, 0, ""});
  EXPECT_EQ(ReadWholeFile(path_),
            "{\"time\":\"2010-05-25T14:03:07.045\",\"source\":\"KaveroTCPIP\","
            "\"type\":4,\"id\":1,\"category\":0,\"text\":\"Kavero TCP/IP "
            "server werd met succes ge\xC3\xAFnstalleerd\"}\n"
            "{\"time\":\"2010-05-25T14:03:07.045\",\"source\":\"KvxTCPServer\","
            "\"type\":1,\"id\":0,\"category\":0,\"text\":\"\"}\n");
}

TEST_F(JsonSinkTest, ReportAllWritesTheSameLinesInOrder) {
  clock_.SetNow({2010, 5, 25, 14, 3, 7, 45});
  const EventEntry entries[] = {
      {"KaveroTCPIP", EventType::kInformation, 1, 0, "een"},
      {"KaveroTCPIP", EventType::kError, 1, 0, "twee\r\n"},
      {"KaveroTCPIP", EventType::kInformation, 1, 0, "drie"},
  };
  const std::string two_path = dir_.path() + "/one_by_one.jsonl";
  auto batch = MakeJsonFileSink(path_, clock_);
  auto one_by_one = MakeJsonFileSink(two_path, clock_);
  batch->ReportAll(entries);
  for (const auto& e : entries) one_by_one->Report(e);
  EXPECT_EQ(ReadWholeFile(path_), ReadWholeFile(two_path));
  EXPECT_EQ(SplitLines(ReadWholeFile(path_)).size(), 3u);
}

TEST_F(JsonSinkTest, EscapedTextsParseBackToTheirUtf8) {
  struct Case {
    std::string text;         // Windows-1252, as handed to the sink
    std::string want;         // UTF-8, after parsing the line back
    std::string raw_snippet;  // as it must appear in the line
  } cases[] = {
      {"say \"hi\"", "say \"hi\"", "say \\\"hi\\\""},
      {"C:\\dir\\", "C:\\dir\\", "C:\\\\dir\\\\"},
      {"a\r\nb\tc", "a\r\nb\tc", "a\\u000D\\u000Ab\\u0009c"},
      {std::string("\x01\x1F\x7F", 3), "\x01\x1F\x7F", "\\u0001\\u001F\\u007F"},
      {"ge\xEFnstalleerd \x80", "ge\xC3\xAFnstalleerd \xE2\x82\xAC",
       "ge\xC3\xAFnstalleerd \xE2\x82\xAC"},
      {"</Key> & {\"x\":1}", "</Key> & {\"x\":1}", "{\\\"x\\\":1}"},
  };
  auto sink = MakeJsonFileSink(path_, clock_);
  for (const auto& c : cases) {
    sink->Report({"KaveroTCPIP", EventType::kWarning, 1, 0, c.text});
  }
  const auto lines = SplitLines(ReadWholeFile(path_));
  ASSERT_EQ(lines.size(), std::size(cases));
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const auto event = ParseJsonEvent(lines[i]);
    ASSERT_TRUE(event.has_value()) << lines[i];
    EXPECT_EQ(event->text, cases[i].want) << lines[i];
    EXPECT_EQ(event->type, 2);
    EXPECT_THAT(lines[i], ::testing::HasSubstr(cases[i].raw_snippet));
  }
}

TEST_F(JsonSinkTest, ConcurrentWritersNeverInterleaveLines) {
  // Two sinks on one file (two descriptors) and four threads on each: every
  // line must come out whole and every entry exactly once.
  constexpr int kThreads = 8;
  constexpr int kEntries = 150;
  auto sink_a = MakeJsonFileSink(path_, clock_);
  auto sink_b = MakeJsonFileSink(path_, clock_);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    EventSink& sink = t % 2 == 0 ? *sink_a : *sink_b;
    threads.emplace_back([&sink, t] {
      const std::string padding(3000, static_cast<char>('a' + t));
      for (int i = 0; i < kEntries; ++i) {
        const std::string text =
            std::to_string(t) + ":" + std::to_string(i) + ":" + padding;
        sink.Report({"KaveroTCPIP", EventType::kInformation, 1, 0, text});
      }
    });
  }
  for (auto& thread : threads) thread.join();

  std::vector<int> next(kThreads, 0);
  const auto lines = SplitLines(ReadWholeFile(path_));
  ASSERT_EQ(lines.size(), std::size_t{kThreads * kEntries});
  for (const auto& line : lines) {
    const auto event = ParseJsonEvent(line);
    ASSERT_TRUE(event.has_value()) << line.substr(0, 200);
    int t = -1;
    int i = -1;
    ASSERT_EQ(std::sscanf(event->text.c_str(), "%d:%d:", &t, &i), 2);
    ASSERT_TRUE(t >= 0 && t < kThreads);
    EXPECT_EQ(i, next[t]++) << "entries of one writer out of order";
    EXPECT_EQ(event->text.size(), event->text.find(':', 2) + 1 + 3000);
  }
}

TEST_F(JsonSinkTest, AFileThatCannotBeOpenedIsTriedAgainAtTheNextEntry) {
  const std::string sub = dir_.path() + "/later";
  auto sink = MakeJsonFileSink(sub + "/events.jsonl", clock_);
  sink->Report({"KaveroTCPIP", EventType::kError, 1, 0, "lost"});
  ASSERT_TRUE(std::filesystem::create_directory(sub));
  sink->Report({"KaveroTCPIP", EventType::kError, 1, 0, "kept"});
  const auto lines = SplitLines(ReadWholeFile(sub + "/events.jsonl"));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(ParseJsonEvent(lines[0])->text, "kept");
}

TEST_F(JsonSinkTest, EnvironmentChoosesTheFileSinkForAPath) {
  ::setenv("KVX_EVENT_LOG", path_.c_str(), 1);
  auto sink = MakeEventSinkFromEnvironment();
  ::unsetenv("KVX_EVENT_LOG");
  sink->Report({"KaveroTCPIP", EventType::kInformation, 1, 0, "x"});
  const auto event = ParseJsonEvent(SplitLines(ReadWholeFile(path_)).at(0));
  ASSERT_TRUE(event.has_value());
  EXPECT_EQ(event->text, "x");
}

TEST(StderrSinkTest, WritesOneReadableLine) {
  ::setenv("KVX_EVENT_LOG", "stderr", 1);
  auto sink = MakeEventSinkFromEnvironment();
  ::unsetenv("KVX_EVENT_LOG");
  ::testing::internal::CaptureStderr();
  sink->Report({"KaveroTCPIP", EventType::kWarning, 1, 0, "ge\xEFnd"});
  sink->Report({"KvxTCPServer", EventType::kError, 0, 0, "boom"});
  const std::string out = ::testing::internal::GetCapturedStderr();
  EXPECT_THAT(out, ::testing::MatchesRegex(
                       "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} "
                       "KaveroTCPIP Warning: ge\xC3\xAFnd\n"
                       "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} "
                       "KvxTCPServer Error: boom\n"));
}

// The line is written in one pass over the code-page text; it must equal
// escaping the text's UTF-8 form, for every byte value and at the edges of
// the padded time fields.
TEST(JsonEventLineTest, EqualsTheEscapedUtf8OfEveryByte) {
  const LocalTime time{2026, 1, 2, 3, 4, 5, 6};
  const std::string head =
      "{\"time\":\"2026-01-02T03:04:05.006\",\"source\":\"KaveroTCPIP\","
      "\"type\":4,\"id\":1,\"category\":0,\"text\":\"";
  for (int b = 0; b < 256; ++b) {
    const std::string text = std::string("a") + static_cast<char>(b) + "\"z";
    EXPECT_EQ(JsonEventLine(
                  time, {"KaveroTCPIP", EventType::kInformation, 1, 0, text}),
              head + JsonEscape(Cp1252ToUtf8(text)) + "\"}\n")
        << "byte " << b;
  }
  EXPECT_EQ(JsonEventLine({999, 12, 31, 23, 59, 59, 999},
                          {"Kv\xe9", EventType::kError, -7, 12, ""}),
            "{\"time\":\"0999-12-31T23:59:59.999\",\"source\":\"Kv\xc3\xa9\","
            "\"type\":1,\"id\":-7,\"category\":12,\"text\":\"\"}\n");
}

}  // namespace
}  // namespace kvx
