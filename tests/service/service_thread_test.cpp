// The service thread: request order, status reports, failures and ticks.
#include "service/service_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "fakes/fake_clock.h"
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
  explicit FakeHandlers(ServiceTickSource& source) : source_(source) {}
  void ServiceStart(bool& flag) override { Call("start", flag); }
  void ServiceStop(bool& flag) override { Call("stop", flag); }
  void ServicePause(bool& flag) override { Call("pause", flag); }
  void ServiceContinue(bool& flag) override { Call("continue", flag); }
  void ServiceShutdown() override {
    bool flag = true;
    Call("shutdown", flag);
  }
  void ServiceReload() override {
    bool flag = true;
    Call("reload", flag);
  }
  void TimerTick() override {
    std::scoped_lock lock(mutex_);
    ticks_.push_back({source_.clock().TickCount(),
                      state_probe ? state_probe() : State::kRunning});
  }

  std::vector<std::string> Calls() {
    std::scoped_lock lock(mutex_);
    return calls_;
  }
  struct Tick {
    std::uint32_t at;  // the clock's tick count
    State state;       // the service's state meanwhile
    bool operator==(const Tick&) const = default;
  };
  std::vector<Tick> Ticks() {
    std::scoped_lock lock(mutex_);
    return ticks_;
  }

  std::string fail_on, refuse_on;
  std::uint32_t tick_period_ms = 0;
  std::function<State()> state_probe;

 private:
  void Call(const std::string& name, bool& flag) {
    {
      std::scoped_lock lock(mutex_);
      calls_.push_back(name);
    }
    if (name == "start" && tick_period_ms > 0) {
      source_.StartTicks(tick_period_ms);
    }
    if (name == fail_on) throw KvxError("boom");
    if (name == refuse_on) flag = false;
  }
  ServiceTickSource& source_;
  std::mutex mutex_;
  std::vector<std::string> calls_;
  std::vector<Tick> ticks_;
};

class ServiceThreadTest : public ::testing::Test {
 protected:
  // Runs the service thread with `codes` queued before it starts.
  bool RunWith(std::initializer_list<int> codes) {
    ServiceThread thread(handlers_, ticks_, notifier_, events_);
    for (int code : codes) thread.Post(code);
    return thread.Run();
  }

  FakeClock clock_;
  ServiceTickSource ticks_{clock_};
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
    ServiceTickSource ticks(clock_);
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

// The next tick is counted on the clock from the start of the ticks, and
// from the end of every tick delivered, modulo 2^32.
TEST(ServiceTickSourceTest, CountsDownOnTheClockAcrossTheWrap) {
  struct Case {
    std::uint32_t start;  // the tick count at StartTicks
    std::uint32_t period;
    std::uint32_t advance;  // then the clock moves on by this much
    std::uint32_t want_left;
  } cases[] = {
      {0, 2500, 0, 2500},
      {0, 2500, 2499, 1},
      {0, 2500, 2500, 0},
      {0, 2500, 90000, 0},  // overdue: due now, not in 2^32 ms
      {0xFFFFFF00u, 2500, 0, 2500},
      {0xFFFFFF00u, 2500, 2499, 1},
      {0xFFFFFF00u, 2500, 2600, 0},
      {7, 0xFFFFFFFFu, 0, 0x7FFFFFFFu},  // cut to the longest period
  };
  for (const auto& c : cases) {
    FakeClock clock;
    clock.SetTick(c.start);
    ServiceTickSource ticks(clock);
    EXPECT_FALSE(ticks.MillisecondsLeft());
    ticks.StartTicks(c.period);
    clock.Advance(c.advance);
    EXPECT_EQ(ticks.MillisecondsLeft(), c.want_left)
        << c.start << " + " << c.period << ", " << c.advance << " later";
  }
}

TEST(ServiceTickSourceTest, ATickPlacesTheNextUnlessItsHandlersDidSo) {
  FakeClock clock;
  ServiceTickSource ticks(clock);
  ticks.StartTicks(1000);
  clock.Advance(2500);  // a long handler or a pause
  ticks.TickDelivered(ticks.generation());
  EXPECT_EQ(ticks.MillisecondsLeft(), 1000u) << "one tick, not three";

  auto generation = ticks.generation();
  ticks.StartTicks(400);  // restarted inside the tick
  clock.Advance(100);
  ticks.TickDelivered(generation);
  EXPECT_EQ(ticks.MillisecondsLeft(), 300u);

  generation = ticks.generation();
  ticks.StopTicks();  // stopped inside the tick
  ticks.TickDelivered(generation);
  EXPECT_FALSE(ticks.MillisecondsLeft());
}

// Runs the service thread on a thread of its own, ticking on the fake
// clock; the test moves the clock and waits for what the thread does.
class TickingServiceTest : public ServiceThreadTest {
 protected:
  void SetUp() override {
    handlers_.tick_period_ms = 2500;
    handlers_.state_probe = [this] { return thread_.state(); };
  }
  void TearDown() override {
    thread_.Post(kControlStop);
    if (runner_.joinable()) runner_.join();
  }
  void Start() {
    runner_ = std::thread([this] { thread_.Run(); });
    ASSERT_TRUE(WaitFor([&] { return thread_.state() == State::kRunning; }));
  }
  // Posts `code` and waits until the thread reported once more.
  void PostAndWait(int code) {
    const std::size_t reports = notifier_.States().size();
    thread_.Post(code);
    ASSERT_TRUE(WaitFor([&] { return notifier_.States().size() > reports; }));
    // The request's last report comes at the end of its handling.
    ASSERT_TRUE(WaitFor([&] { return !thread_.progress().Read().busy(); }));
  }
  std::vector<FakeHandlers::Tick> WaitForTicks(std::size_t n) {
    EXPECT_TRUE(WaitFor([&] { return handlers_.Ticks().size() >= n; }));
    return handlers_.Ticks();
  }

  ServiceThread thread_{handlers_, ticks_, notifier_, events_};
  std::thread runner_;
};

TEST_F(TickingServiceTest, TicksFallDueOnTheClockAndRunBetweenRequests) {
  Start();
  clock_.Advance(2499);
  PostAndWait(kControlInterrogate);
  EXPECT_TRUE(handlers_.Ticks().empty()) << "a tick 1 ms early";
  clock_.Advance(1);
  EXPECT_EQ(WaitForTicks(1),
            (std::vector<FakeHandlers::Tick>{{2500, State::kRunning}}));
  // A clock that jumps far ahead gives one tick; the next comes a whole
  // period after it.
  clock_.Advance(10000);
  WaitForTicks(2);
  clock_.Advance(2500);
  EXPECT_EQ(WaitForTicks(3),
            (std::vector<FakeHandlers::Tick>{{2500, State::kRunning},
                                             {12500, State::kRunning},
                                             {15000, State::kRunning}}));
}

TEST_F(TickingServiceTest, NoTickWhilePausedAndTheOverdueOneOnceAfter) {
  Start();
  clock_.Advance(2500);
  WaitForTicks(1);
  PostAndWait(kControlPause);
  ASSERT_EQ(thread_.state(), State::kPaused);
  clock_.Advance(10000);  // four periods pass during the pause
  PostAndWait(kControlInterrogate);
  EXPECT_EQ(handlers_.Ticks().size(), 1u);
  PostAndWait(kControlContinue);
  clock_.Advance(2500);
  EXPECT_EQ(WaitForTicks(3),
            (std::vector<FakeHandlers::Tick>{{2500, State::kRunning},
                                             {12500, State::kRunning},
                                             {15000, State::kRunning}}));
}

TEST_F(TickingServiceTest, CountsTicksAcrossTheWrapOfTheTickCount) {
  clock_.SetTick(0xFFFFFFFFu - 1000);
  Start();
  clock_.Advance(2499);
  PostAndWait(kControlInterrogate);
  EXPECT_TRUE(handlers_.Ticks().empty()) << "the wrap taken for the past";
  clock_.Advance(1);
  EXPECT_EQ(WaitForTicks(1),
            (std::vector<FakeHandlers::Tick>{{1499, State::kRunning}}));
}

}  // namespace
}  // namespace kvx
