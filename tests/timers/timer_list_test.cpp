#include "timers/timer_list.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "fakes/fake_clock.h"
#include "fakes/fake_tick_scheduler.h"
#include "platform/error.h"

namespace kvx {
namespace {

class TimerListTest : public ::testing::Test {
 protected:
  // Adds an event that records its runs by name.
  TTimerEvent& AddRecorded(const std::string& name, std::int32_t interval,
                           bool enabled) {
    return list_.Add(name, interval, enabled,
                     [this](TTimerEvent& e) { runs_.push_back(e.Name()); });
  }
  // The three events of the service with their start-up intervals.
  void AddServiceEvents(std::int32_t http_interval, bool http_enabled) {
    AddRecorded("DatabaseTimer", 60000, true);
    AddRecorded("HTTPChecker", http_interval, http_enabled);
    AddRecorded("UDPLan", 30000, false);
  }
  // Advances the clock by `ms` and delivers one tick.
  void TickAfter(std::uint32_t ms) {
    clock_.Advance(ms);
    list_.Tick();
  }

  FakeClock clock_;
  FakeTickScheduler scheduler_;
  TTimerList list_{clock_, scheduler_};
  std::vector<std::string> runs_;
};

TEST_F(TimerListTest, BasePeriodFollowsTheIntervals) {
  struct Case {
    std::int32_t http_interval;
    bool http_enabled;
    std::int32_t want;
  };
  const Case kCases[] = {
      {10000, true, 10000},
      {7000, true, 1000},
      {50, true, 100},
      {2500, true, 2500},
      // The disabled watchdog still shapes the period.
      {10000, false, 10000},
  };
  for (const auto& c : kCases) {
    FakeTickScheduler scheduler;
    TTimerList list(clock_, scheduler);
    list.Add("DatabaseTimer", 60000, true, nullptr);
    list.Add("HTTPChecker", c.http_interval, c.http_enabled, nullptr);
    list.Add("UDPLan", 30000, false, nullptr);
    list.SetActive(true);
    EXPECT_EQ(list.BasePeriod(), c.want) << c.http_interval;
    EXPECT_TRUE(scheduler.running) << c.http_interval;
    EXPECT_EQ(scheduler.period, static_cast<std::uint32_t>(c.want))
        << c.http_interval;
  }
}

TEST_F(TimerListTest, BasePeriodCountsRemainingTime) {
  AddRecorded("A", 60000, true);
  list_.SetActive(true);
  // 59700 ms after activation only 300 ms remain; 60000 % 300 == 0.
  EXPECT_EQ(list_.ComputeBasePeriod(clock_.TickCount() + 59700), 300);
  // Overdue: the remaining time is negative and the floor applies.
  EXPECT_EQ(list_.ComputeBasePeriod(clock_.TickCount() + 70000), 100);
}

TEST_F(TimerListTest, NoEventsOrNoneEnabledGiveNoPeriod) {
  EXPECT_EQ(list_.ComputeBasePeriod(0), 0);
  AddRecorded("A", 1000, false);
  EXPECT_EQ(list_.ComputeBasePeriod(0), 0);
}

TEST_F(TimerListTest, ActivationStartsCountingAndWithoutEnabledEventsStops) {
  bool finished = false;
  list_.OnFinish = [&] { finished = true; };
  clock_.SetTick(5000);
  TTimerEvent& a = AddRecorded("A", 10000, true);
  clock_.SetTick(8000);
  list_.SetActive(true);
  EXPECT_EQ(a.LastRun(), 8000u);
  EXPECT_TRUE(list_.Active());

  a.SetEnabled(false);
  // Disabling changes only the flag.
  EXPECT_TRUE(list_.Active());
  EXPECT_TRUE(scheduler_.running);
  list_.SetActive(false);
  EXPECT_TRUE(finished);
  EXPECT_FALSE(scheduler_.running);

  // Enabling an event of an inactive list activates it.
  a.SetEnabled(true);
  EXPECT_TRUE(list_.Active());
  EXPECT_TRUE(scheduler_.running);
}

TEST_F(TimerListTest, DueAtIntervalLessFiftyMilliseconds) {
  AddRecorded("A", 10000, true);
  list_.SetActive(true);
  TickAfter(9949);
  EXPECT_TRUE(runs_.empty());
  TickAfter(1);
  EXPECT_EQ(runs_, std::vector<std::string>{"A"});
  EXPECT_EQ(list_.Events(0).LastRun(), clock_.TickCount());
  EXPECT_EQ(list_.Events(0).RunCount(), 1);
}

TEST_F(TimerListTest, OverdueEventRunsOnceThenOneIntervalLater) {
  AddRecorded("A", 10000, true);
  list_.SetActive(true);
  TickAfter(35000);  // three intervals missed, e.g. during a pause
  TickAfter(0);
  EXPECT_EQ(runs_.size(), 1u);
  TickAfter(9949);
  EXPECT_EQ(runs_.size(), 1u);
  TickAfter(1);
  EXPECT_EQ(runs_.size(), 2u);
}

TEST_F(TimerListTest, VisitsFromTheHighestIndexDown) {
  AddServiceEvents(10000, true);
  list_.Events(2).SetEnabled(true);
  clock_.Advance(60000);
  std::vector<std::int32_t> handles;
  list_.OnTimers = [&](TTimerList&, std::int32_t handle) {
    handles.push_back(handle);
  };
  list_.Tick();
  EXPECT_EQ(runs_, (std::vector<std::string>{"UDPLan", "HTTPChecker",
                                             "DatabaseTimer"}));
  EXPECT_EQ(handles, (std::vector<std::int32_t>{3, 2, 1}));
}

TEST_F(TimerListTest, ExceptionEndsTheTickAndGoesToTheHandler) {
  AddRecorded("Low", 10000, true);
  list_.Add("High", 10000, true,
            [](TTimerEvent&) { throw std::runtime_error("kapot"); });
  list_.SetActive(true);
  const std::uint32_t activated = clock_.TickCount();
  std::string reported;
  list_.OnException = [&](std::exception_ptr error) {
    try {
      std::rethrow_exception(error);
    } catch (const std::exception& e) {
      reported = e.what();
    }
  };
  const int starts = scheduler_.starts;
  TickAfter(10000);
  EXPECT_EQ(reported, "kapot");
  EXPECT_TRUE(runs_.empty());
  EXPECT_EQ(list_.Events(0).LastRun(), activated);
  EXPECT_EQ(list_.Events(1).LastRun(), clock_.TickCount());
  EXPECT_TRUE(list_.Active());
  EXPECT_EQ(scheduler_.starts, starts);  // period not recomputed
}

TEST_F(TimerListTest, HandlerChangesTakeEffectWithinTheTick) {
  TTimerEvent& low = AddRecorded("Low", 60000, true);
  TTimerEvent& sleeper = AddRecorded("Sleeper", 5000, false);
  list_.Add("High", 10000, true, [&](TTimerEvent&) {
    low.SetInterval(10000);    // now due on this very tick
    sleeper.SetEnabled(true);  // counts from now: not due yet
  });
  list_.SetActive(true);
  const int starts = scheduler_.starts;
  TickAfter(10000);
  EXPECT_EQ(runs_, std::vector<std::string>{"Low"});
  EXPECT_EQ(sleeper.RunCount(), 0);
  EXPECT_EQ(sleeper.LastRun(), clock_.TickCount());
  // Both changes restarted the tick source at once; Low was still due then,
  // so the period fell to the floor.
  EXPECT_EQ(scheduler_.starts, starts + 2);
  EXPECT_EQ(scheduler_.period, 100u);
}

TEST_F(TimerListTest, RepeatCountDisablesAndRecomputes) {
  bool finished = false;
  list_.OnFinish = [&] { finished = true; };
  TTimerEvent& once = AddRecorded("Once", 1000, true);
  once.SetCycled(false);
  once.SetRepeatCount(2);
  AddRecorded("Slow", 7000, false);
  list_.SetActive(true);
  TickAfter(1000);
  EXPECT_TRUE(once.Enabled());
  TickAfter(1000);
  EXPECT_FALSE(once.Enabled());
  EXPECT_EQ(runs_.size(), 2u);
  EXPECT_TRUE(finished);  // nothing enabled any more
  EXPECT_FALSE(list_.Active());
}

TEST_F(TimerListTest, TickTimesWrapAround) {
  clock_.SetTick(0xFFFFFFFFu - 4000);
  AddRecorded("A", 10000, true);
  list_.SetActive(true);
  TickAfter(9949);  // the clock has wrapped past 0
  EXPECT_TRUE(runs_.empty());
  TickAfter(1);
  EXPECT_EQ(runs_.size(), 1u);
  EXPECT_EQ(list_.ComputeBasePeriod(clock_.TickCount() + 9000), 1000);
}

TEST_F(TimerListTest, RefusedTickSourceDeactivatesAndRaises) {
  bool finished = false;
  list_.OnFinish = [&] { finished = true; };
  AddRecorded("A", 10000, true);
  scheduler_.refuse = true;
  try {
    list_.SetActive(true);
    FAIL() << "no exception";
  } catch (const KvxError& e) {
    EXPECT_STREQ(e.what(), "Not enough timers available");
  }
  EXPECT_FALSE(list_.Active());
  EXPECT_TRUE(finished);

  scheduler_.refuse = false;
  list_.SetActive(true);
  scheduler_.refuse = true;
  EXPECT_THROW(list_.Events(0).SetInterval(5000), KvxError);
  EXPECT_FALSE(list_.Active());
}

}  // namespace
}  // namespace kvx
