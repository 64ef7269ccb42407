// Counting event-log entries and keeping the latest for the page.
#include "observability/event_recorder.h"

#include <gtest/gtest.h>

#include <string>

#include "fakes/fake_clock.h"
#include "observability/metrics.h"

namespace kvx {
namespace {

TEST(EventRecorderTest, CountsByTypeAndKeepsTheLatestTwenty) {
  Metrics metrics;
  FakeClock clock;
  EventRecorder recorder(metrics, clock);
  for (int i = 0; i < 25; ++i) {
    recorder.Record(i % 5 == 0 ? EventType::kError : EventType::kInformation,
                    "entry " + std::to_string(i));
  }
  recorder.Record(EventType::kWarning, "last");
  EXPECT_EQ(metrics.events_error.Value(), 5u);
  EXPECT_EQ(metrics.events_information.Value(), 20u);
  EXPECT_EQ(metrics.events_warning.Value(), 1u);
  const auto recent = recorder.Recent();
  ASSERT_EQ(recent.size(), kRecentEntries);
  EXPECT_EQ(recent.front().text, "last");
  EXPECT_EQ(recent.front().type, EventType::kWarning);
  EXPECT_EQ(recent[1].text, "entry 24");
  EXPECT_EQ(recent.back().text, "entry 6");
}

TEST(EventRecorderTest, KeepsOnlyTheStartOfALongText) {
  Metrics metrics;
  FakeClock clock;
  EventRecorder recorder(metrics, clock);
  recorder.Record(EventType::kInformation, std::string(kRecentTextLimit, 'a'));
  recorder.Record(EventType::kInformation,
                  std::string(kRecentTextLimit + 1, 'b'));
  const auto recent = recorder.Recent();
  EXPECT_EQ(recent[0].text, std::string(kRecentTextLimit, 'b'));
  EXPECT_TRUE(recent[0].cut);
  EXPECT_FALSE(recent[1].cut);
}

}  // namespace
}  // namespace kvx
