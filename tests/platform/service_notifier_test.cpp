// sd_notify reports, received on a socket that stands in for systemd.
#include "platform/service_notifier.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <optional>

#include "fakes/notify_socket.h"
#include "fakes/temp_dir.h"
#include "platform/error.h"

namespace kvx {
namespace {

TEST(ServiceNotifierTest, ReportsEveryStateAndReadyOnlyOnce) {
  TempDir dir;
  NotifySocket systemd(dir.path() + "/notify");
  SdNotifier notifier;
  const std::pair<ServiceState, const char*> steps[] = {
      {ServiceState::kStartPending, "STATUS=start pending"},
      {ServiceState::kRunning, "READY=1\nSTATUS=running"},
      {ServiceState::kPausePending, "STATUS=pause pending"},
      {ServiceState::kPaused, "STATUS=paused"},
      {ServiceState::kContinuePending, "STATUS=continue pending"},
      {ServiceState::kRunning, "STATUS=running"},
      {ServiceState::kStopPending, "STOPPING=1\nSTATUS=stop pending"},
      {ServiceState::kStopped, "STATUS=stopped"},
  };
  for (const auto& [state, want] : steps) {
    notifier.Report(state);
    EXPECT_EQ(systemd.Receive(), want) << ServiceStateName(state);
  }
}

TEST(ServiceNotifierTest, WithoutNotifySocketNothingIsSent) {
  ::unsetenv("NOTIFY_SOCKET");
  SdNotifier notifier;
  EXPECT_NO_THROW(notifier.Report(ServiceState::kRunning));
}

TEST(ServiceNotifierTest, ARefusedReportThrowsTheSystemText) {
  TempDir dir;
  const std::string missing = dir.path() + "/nobody-listens";
  ::setenv("NOTIFY_SOCKET", missing.c_str(), 1);
  SdNotifier notifier;
  try {
    notifier.Report(ServiceState::kRunning);
    ADD_FAILURE() << "no exception";
  } catch (const KvxError& e) {
    EXPECT_EQ(std::string(e.what()), SystemErrorText(ENOENT));
  }
  ::unsetenv("NOTIFY_SOCKET");
}

TEST(ServiceNotifierTest, WatchdogPingsAndStatusLines) {
  TempDir dir;
  NotifySocket systemd(dir.path() + "/notify");
  SdWatchdogNotifier notifier;
  notifier.Ping();
  EXPECT_EQ(systemd.Receive(), "WATCHDOG=1");
  notifier.Status("running (watchdog: stuck)");
  EXPECT_EQ(systemd.Receive(), "STATUS=running (watchdog: stuck)");
}

TEST(ServiceNotifierTest, WatchdogIntervalOnlyWhenMeantForThisProcess) {
  using std::chrono::microseconds;
  const std::string self = std::to_string(::getpid());
  const std::string other = std::to_string(::getpid() + 1);
  struct Case {
    const char* usec;  // nullptr: unset
    std::string pid;   // empty: unset
    std::optional<microseconds> want;
  };
  const Case cases[] = {
      {nullptr, "", std::nullopt},
      {"30000000", "", microseconds(30000000)},
      {"400000", self, microseconds(400000)},
      {"400000", other, std::nullopt},
      {"0", "", std::nullopt},
      {"soon", "", std::nullopt},
  };
  for (const Case& c : cases) {
    if (c.usec) {
      ::setenv("WATCHDOG_USEC", c.usec, 1);
    } else {
      ::unsetenv("WATCHDOG_USEC");
    }
    if (c.pid.empty()) {
      ::unsetenv("WATCHDOG_PID");
    } else {
      ::setenv("WATCHDOG_PID", c.pid.c_str(), 1);
    }
    EXPECT_EQ(WatchdogInterval(), c.want)
        << (c.usec ? c.usec : "(unset)") << " pid " << c.pid;
    // The environment stays for whoever asks next.
    if (c.usec) {
      EXPECT_NE(::getenv("WATCHDOG_USEC"), nullptr);
    }
  }
  ::unsetenv("WATCHDOG_USEC");
  ::unsetenv("WATCHDOG_PID");
}

}  // namespace
}  // namespace kvx
