// The service thread: request order, status reports, failures and ticks.
#include "service/service_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "fakes/recording_event_sink.h"
#include "fakes/wait_for.h"
#include "platform/error.h"
#include "platform/signals.h"

namespace kvx {
namespace {

using State = ServiceState;

class RecordingNotifier final : public ServiceNotifier {
 public:
  void Report(ServiceState state) override {
    std::scoped_lock lock(mutex_);
    states_.push_back(state);
    if (refuse_) throw KvxError("refused");
  }
  std::vector<ServiceState> States() {
    std::scoped_lock lock(mutex_);
    return states_;
  }
  bool refuse_ = false;

 private:
  std::mutex mutex_;
  std::vector<ServiceState> states_;
};

// Handlers that record their calls and fail or refuse on request.
class FakeHandlers final : public ServiceHandlers {
 public:
  explicit FakeHandlers(ServiceTickSource& ticks) : ticks_(ticks) {}
  void ServiceStart(bool& flag) override { Call("start", flag); }
  void ServiceStop(bool& flag) override { Call("stop", flag); }
  void ServicePause(bool& flag) override {
    Call("pause", flag);
    ticks_at_pause = ticks.load();
  }
  void ServiceContinue(bool& flag) override { Call("continue", flag); }
  void ServiceShutdown() override {
    bool flag = true;
    Call("shutdown", flag);
  }
  void ServiceReload() override {
    bool flag = true;
    Call("reload", flag);
  }
  void TimerTick() override { ++ticks; }

  std::vector<std::string> Calls() {
    std::scoped_lock lock(mutex_);
    return calls_;
  }

  std::string fail_on, refuse_on;
  std::uint32_t tick_period_ms = 0;
  std::atomic<int> ticks{0};
  std::atomic<int> ticks_at_pause{-1};

 private:
  void Call(const std::string& name, bool& flag) {
    {
      std::scoped_lock lock(mutex_);
      calls_.push_back(name);
    }
    if (name == "start" && tick_period_ms > 0) {
      ticks_.StartTicks(tick_period_ms);
    }
    if (name == fail_on) throw KvxError("boom");
    if (name == refuse_on) flag = false;
  }
  ServiceTickSource& ticks_;
  std::mutex mutex_;
  std::vector<std::string> calls_;
};

class ServiceThreadTest : public ::testing::Test {
 protected:
  // Runs the service thread with `codes` queued before it starts.
  bool RunWith(std::initializer_list<int> codes) {
    ServiceThread thread(handlers_, ticks_, notifier_, events_);
    for (int code : codes) thread.Post(code);
    return thread.Run();
  }

  ServiceTickSource ticks_;
  FakeHandlers handlers_{ticks_};
  RecordingNotifier notifier_;
  RecordingEventSink events_;
};

TEST_F(ServiceThreadTest, HandlesRequestsInOrderWithTheirStatusReports) {
  struct Case {
    std::initializer_list<int> codes;
    std::vector<std::string> calls;
    std::vector<State> states;
  } cases[] = {
      {{kControlStop},
       {"start", "stop"},
       {State::kStartPending, State::kRunning, State::kStopPending,
        State::kStopped}},
      {{kControlPause, kControlStop},
       {"start", "pause", "stop"},
       {State::kStartPending, State::kRunning, State::kPausePending,
        State::kPaused, State::kStopPending, State::kStopped}},
      {{kControlPause, kControlContinue, kControlInterrogate, kControlShutdown},
       {"start", "pause", "continue", "shutdown"},
       {State::kStartPending, State::kRunning, State::kPausePending,
        State::kPaused, State::kContinuePending, State::kRunning,
        State::kRunning, State::kStopPending, State::kStopped}},
      // Reload while running or paused leaves the state as it was.
      {{kControlReload, kControlPause, kControlReload, kControlStop},
       {"start", "reload", "pause", "reload", "stop"},
       {State::kStartPending, State::kRunning, State::kPausePending,
        State::kPaused, State::kStopPending, State::kStopped}},
      // Requests queued behind the stop are still handled.
      {{kControlStop, kControlInterrogate, 129},
       {"start", "stop"},
       {State::kStartPending, State::kRunning, State::kStopPending,
        State::kStopPending, State::kStopped}},
      // Continue only resumes a paused service and pause only pauses a
      // running one: the SIGCONT that follows a SIGTERM changes nothing.
      {{kControlContinue, kControlPause, kControlPause, kControlStop,
        kControlContinue},
       {"start", "pause", "stop"},
       {State::kStartPending, State::kRunning, State::kPausePending,
        State::kPaused, State::kStopPending, State::kStopped}},
  };
  for (const auto& c : cases) {
    ServiceTickSource ticks;
    FakeHandlers handlers(ticks);
    RecordingNotifier notifier;
    ServiceThread thread(handlers, ticks, notifier, events_);
    for (int code : c.codes) thread.Post(code);
    EXPECT_TRUE(thread.Run());
    EXPECT_EQ(handlers.Calls(), c.calls);
    EXPECT_EQ(notifier.States(), c.states);
  }
  EXPECT_TRUE(events_.Events().empty());
}

TEST_F(ServiceThreadTest, AFailingHandlerIsReportedAndThePreviousStateKept) {
  handlers_.fail_on = "pause";
  EXPECT_TRUE(RunWith({kControlPause, kControlStop}));
  EXPECT_EQ(notifier_.States(),
            (std::vector<State>{State::kStartPending, State::kRunning,
                                State::kPausePending, State::kRunning,
                                State::kStopPending, State::kStopped}));
  ASSERT_EQ(events_.Events().size(), 1u);
  EXPECT_EQ(events_.Events()[0],
            (RecordedEvent{"KaveroTCPIP", EventType::kError, 0, 0,
                           "Service failed on pause: boom"}));
}

TEST_F(ServiceThreadTest, ARefusedStopKeepsTheServiceRunning) {
  handlers_.refuse_on = "stop";
  EXPECT_TRUE(RunWith({kControlStop, kControlShutdown}));
  EXPECT_EQ(handlers_.Calls(),
            (std::vector<std::string>{"start", "stop", "shutdown"}));
  EXPECT_EQ(notifier_.States()[3], State::kRunning);
}

TEST_F(ServiceThreadTest, AFailingShutdownStillEndsTheService) {
  handlers_.fail_on = "shutdown";
  EXPECT_TRUE(RunWith({kControlShutdown, kControlInterrogate}));
  EXPECT_EQ(events_.Texts(),
            std::vector<std::string>{"Service failed on shutdown: boom"});
  EXPECT_EQ(notifier_.States().back(), State::kStopped);
}

TEST_F(ServiceThreadTest, AFailedStartEndsTheThreadWithoutRunning) {
  handlers_.fail_on = "start";
  EXPECT_FALSE(RunWith({kControlStop}));
  EXPECT_EQ(handlers_.Calls(), std::vector<std::string>{"start"});
  EXPECT_EQ(notifier_.States(),
            (std::vector<State>{State::kStartPending, State::kStopped}));
  EXPECT_EQ(events_.Texts(),
            std::vector<std::string>{"Service failed on start: boom"});
}

TEST_F(ServiceThreadTest, ARefusedStatusReportIsAnErrorEntry) {
  notifier_.refuse_ = true;
  EXPECT_TRUE(RunWith({kControlStop}));
  EXPECT_EQ(events_.Texts(), std::vector<std::string>(4, "refused"));
}

TEST_F(ServiceThreadTest, TicksRunBetweenRequestsAndNotWhilePaused) {
  handlers_.tick_period_ms = 2;
  ServiceThread thread(handlers_, ticks_, notifier_, events_);
  std::thread runner([&] { thread.Run(); });
  ASSERT_TRUE(WaitFor([&] { return handlers_.ticks >= 3; }));
  thread.Post(kControlPause);
  ASSERT_TRUE(WaitFor([&] { return handlers_.ticks_at_pause >= 0; }));
  // Absence of ticks can only be shown over a stretch of time: 25 periods.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(handlers_.ticks.load(), handlers_.ticks_at_pause.load());
  thread.Post(kControlContinue);
  const int at_continue = handlers_.ticks;
  ASSERT_TRUE(WaitFor([&] { return handlers_.ticks > at_continue; }));
  thread.Post(kControlStop);
  runner.join();
}

}  // namespace
}  // namespace kvx
