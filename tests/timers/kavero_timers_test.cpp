#include "timers/kavero_timers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fakes/fake_clock.h"
#include "fakes/fake_tick_scheduler.h"
#include "fakes/recording_event_sink.h"
#include "platform/error.h"

namespace kvx {
namespace {

constexpr std::string_view kConnected = "Kavero Zefo database gekoppeld";
constexpr std::string_view kIncomplete =
    "Kavero TCPIP database gegevens onvolledig";

// Stands in for the database connection, the listener and the status
// sender.
struct FakeSubsystems {
  bool database_open = false;
  bool settings_complete = true;
  std::string open_error;  // non-empty: the open fails with this message
  int open_attempts = 0;
  bool server_active = false;
  bool start_fails = false;
  int server_starts = 0;
  bool heartbeat_fails = false;
  int heartbeats = 0;
};

class KaveroTimersTest : public ::testing::Test {
 protected:
  TimerJobs Jobs() {
    return TimerJobs{
        [this] { return fake_.database_open; },
        [this] {
          ++fake_.open_attempts;
          if (!fake_.settings_complete) {
            log_.WriteEventLog(kIncomplete, EventType::kWarning);
            throw Abort();
          }
          if (!fake_.open_error.empty()) throw KvxError(fake_.open_error);
          fake_.database_open = true;
          log_.WriteEventLog(kConnected, EventType::kInformation);
        },
        [this] { return fake_.server_active; },
        [this] {
          ++fake_.server_starts;
          if (fake_.start_fails) {
            throw KvxError(
                "Could not bind socket. Address and port are already in use.");
          }
          fake_.server_active = true;
        },
        [this] {
          if (fake_.heartbeat_fails) throw KvxError("Socket Error # 101");
          ++fake_.heartbeats;
        }};
  }
  void Start(std::int32_t http_timer) {
    timers_.ActivateTimers();
    timers_.EnableDatabaseTimer();
    timers_.ApplyHTTPTimer(http_timer);
  }
  // Advances the clock by `ms` and delivers one tick.
  void TickAfter(std::uint32_t ms) {
    clock_.Advance(ms);
    timers_.TimerList1.Tick();
  }
  std::vector<RecordedEvent> Entries() { return sink_.Events(); }

  FakeSubsystems fake_;
  FakeClock clock_;
  FakeTickScheduler scheduler_;
  RecordingEventSink sink_;
  EventLog log_{sink_};
  KaveroTimers timers_{clock_, scheduler_, log_, sink_, Jobs()};
};

TEST_F(KaveroTimersTest, EventsAtCreation) {
  TTimerList& list = timers_.TimerList1;
  ASSERT_EQ(list.Count(), 3u);
  EXPECT_FALSE(list.Active());
  const struct {
    const char* name;
    std::int32_t interval;
    bool enabled;
  } kWant[] = {{"DatabaseTimer", 60000, true},
               {"HTTPChecker", 10000, false},
               {"UDPLan", 30000, false}};
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(list.Events(i).Name(), kWant[i].name);
    EXPECT_EQ(list.Events(i).Interval(), kWant[i].interval) << i;
    EXPECT_EQ(list.Events(i).Enabled(), kWant[i].enabled) << i;
    EXPECT_TRUE(list.Events(i).Cycled()) << i;
  }
}

TEST_F(KaveroTimersTest, ServiceStartAppliesTheHTTPTimerNumber) {
  const struct {
    std::int32_t http_timer;
    bool enabled;
    std::int32_t interval;
  } kCases[] = {{0, false, 10000},
                {-5, false, 10000},
                {1, true, 1},
                {2500, true, 2500},
                {10000, true, 10000}};
  for (const auto& c : kCases) {
    FakeTickScheduler scheduler;
    KaveroTimers timers(clock_, scheduler, log_, sink_, Jobs());
    timers.ActivateTimers();
    timers.EnableDatabaseTimer();
    timers.ApplyHTTPTimer(c.http_timer);
    EXPECT_TRUE(timers.TimerList1.Active());
    EXPECT_EQ(timers.HTTPChecker().Enabled(), c.enabled) << c.http_timer;
    EXPECT_EQ(timers.HTTPChecker().Interval(), c.interval) << c.http_timer;
  }
}

TEST_F(KaveroTimersTest, SuccessfulOpenReportsAndStartsTheHeartbeat) {
  Start(0);
  EXPECT_EQ(timers_.TimerList1.BasePeriod(), 10000);
  TickAfter(59950);
  const std::vector<RecordedEvent> want = {
      {"KaveroTCPIP", EventType::kInformation, 1, 0, std::string(kConnected)},
      {"KaveroTCPIP", EventType::kInformation, 1, 0,
       std::string(kDatabaseLinked)}};
  EXPECT_EQ(Entries(), want);
  EXPECT_TRUE(timers_.UDPLan().Enabled());

  TickAfter(30000);
  EXPECT_EQ(fake_.heartbeats, 1);
  TickAfter(30000);  // the database timer too: open, nothing written
  EXPECT_EQ(fake_.heartbeats, 2);
  EXPECT_EQ(fake_.open_attempts, 1);
  EXPECT_EQ(Entries(), want);
}

TEST_F(KaveroTimersTest, IncompleteSettingsWarnOncePerAttemptOnly) {
  fake_.settings_complete = false;
  Start(0);
  for (int attempt = 0; attempt < 3; ++attempt) TickAfter(60000);
  EXPECT_EQ(fake_.open_attempts, 3);
  EXPECT_EQ(sink_.Texts(),
            std::vector<std::string>(3, std::string(kIncomplete)));
  EXPECT_FALSE(timers_.UDPLan().Enabled());
  EXPECT_EQ(fake_.heartbeats, 0);
}

TEST_F(KaveroTimersTest, FailedOpenIsAnApplicationErrorAtEachAttempt) {
  fake_.open_error = "Login failed for user 'kavero'.";
  Start(0);
  TickAfter(60000);
  TickAfter(60000);
  const RecordedEvent error{"KvxTCPServer", EventType::kError, 0, 0,
                            fake_.open_error};
  EXPECT_EQ(Entries(), std::vector<RecordedEvent>(2, error));
  EXPECT_FALSE(timers_.UDPLan().Enabled());
}

TEST_F(KaveroTimersTest, WatchdogRestartsTheListener) {
  Start(5000);
  TickAfter(5000);
  EXPECT_EQ(fake_.server_starts, 1);
  TickAfter(5000);  // active now: left alone
  EXPECT_EQ(fake_.server_starts, 1);
  EXPECT_TRUE(timers_.HTTPChecker().Enabled());
  // Enabled again after the check: counting starts afresh.
  EXPECT_EQ(timers_.HTTPChecker().RunCount(), 0);
  EXPECT_EQ(timers_.HTTPChecker().LastRun(), clock_.TickCount());
  EXPECT_TRUE(sink_.Texts().empty());
}

TEST_F(KaveroTimersTest, FailingWatchdogStartStaysOff) {
  fake_.start_fails = true;
  Start(5000);
  TickAfter(5000);
  TickAfter(5000);
  TickAfter(5000);
  EXPECT_EQ(fake_.server_starts, 1);
  EXPECT_FALSE(timers_.HTTPChecker().Enabled());
  EXPECT_EQ(sink_.Texts(),
            std::vector<std::string>{
                "Could not bind socket. Address and port are already in use."});
  EXPECT_TRUE(timers_.TimerList1.Active());
}

TEST_F(KaveroTimersTest, FailingHeartbeatIsAWarning) {
  fake_.database_open = true;
  fake_.heartbeat_fails = true;
  Start(0);
  TickAfter(60000);
  TickAfter(30000);
  const std::vector<RecordedEvent> want = {
      {"KaveroTCPIP", EventType::kWarning, 1, 0, "Socket Error # 101"}};
  EXPECT_EQ(Entries(), want);
  EXPECT_TRUE(timers_.UDPLan().Enabled());
}

TEST(ReportApplicationExceptionTest, DropsAbortAndReportsTheRest) {
  RecordingEventSink sink;
  ReportApplicationException(sink, std::make_exception_ptr(Abort()));
  EXPECT_TRUE(sink.Events().empty());
  ReportApplicationException(sink, std::make_exception_ptr(KvxError("x")));
  ReportApplicationException(sink, std::make_exception_ptr(42));
  const std::vector<RecordedEvent> want = {
      {"KvxTCPServer", EventType::kError, 0, 0, "x"},
      {"KvxTCPServer", EventType::kError, 0, 0, "Unknown exception"}};
  EXPECT_EQ(sink.Events(), want);
}

}  // namespace
}  // namespace kvx
