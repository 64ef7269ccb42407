// The timers of the running program: the listener watchdog, the pause that
// halts it, and a database timer that stays quiet in the first minute.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <map>
#include <string>
#include <thread>

#include "e2e/harness.h"
#include "e2e/operator_texts.h"

namespace kvx::e2e {
namespace {

// Long enough for the test to act between the start and the first run.
constexpr milliseconds kWatchdogInterval{1500};

// An entry's source, type and text.
using Entry = std::tuple<std::string, int, std::string>;

struct WatchdogCase {
  const char* label;
  bool pause_while_freeing;
  // Database settings over the template's (whose database name is empty).
  std::map<std::string, std::string> sql;
};
void PrintTo(const WatchdogCase& c, std::ostream* os) { *os << c.label; }

class WatchdogE2eTest : public ::testing::TestWithParam<WatchdogCase> {
 protected:
  // Whether the service listens on the held port now (one attempt).
  bool Listening() const {
    return TcpClient(holder_.port(), milliseconds(0)).connected();
  }
  // Starts the service with the watchdog at `interval` on the held port.
  void StartService(milliseconds interval,
                    std::map<std::string, std::string> settings = {}) {
    settings["HTTPTimer"] = std::to_string(interval.count());
    settings["Port"] = std::to_string(holder_.port());
    service_.WriteFile("KvxTCPConfig.xml",
                       ConfigWith(service_.dir(), settings));
    service_.Start();
  }
  std::vector<Entry> Entries() const {
    std::vector<Entry> got;
    for (const auto& e : service_.Events())
      got.push_back({e.source, e.type, e.text});
    return got;
  }

  PortHolder holder_;
  ServiceProcess service_;
};

// The port is freed before the watchdog's first run, or while the service
// is paused: the watchdog then starts the listener.
TEST_P(WatchdogE2eTest, StartsTheListenerOnceThePortIsFree) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  const WatchdogCase& c = GetParam();
  ASSERT_NE(holder_.port(), 0);
  StartService(kWatchdogInterval, c.sql);

  // The start reports the port in use as information.
  const auto at_start = service_.WaitForEvent(kBindFailure);
  ASSERT_TRUE(at_start) << service_.Stderr();
  EXPECT_EQ(at_start->type, 4);

  if (c.pause_while_freeing) {
    service_.Signal(SIGTSTP);
    ASSERT_TRUE(service_.WaitForEvent(kPaused));
    holder_.Release();
    std::this_thread::sleep_for(2 * kWatchdogInterval);
    EXPECT_FALSE(Listening()) << "the watchdog ran while paused";
    service_.Signal(SIGCONT);
    ASSERT_TRUE(service_.WaitForEvent(kContinued));
  } else {
    holder_.Release();
  }

  TcpClient client(holder_.port());  // tries until the listener is there
  ASSERT_TRUE(client.connected());
  ASSERT_TRUE(client.Send(kComFrame));
  EXPECT_EQ(client.ReadExactly(kInfFrame.size()), kInfFrame);
  client.Close();
  service_.Signal(SIGTERM);
  EXPECT_EQ(service_.WaitForExit(), 0);

  // Nothing from the database timer in its first minute, and the watchdog's
  // success is silent.
  std::vector<Entry> want = {{"KaveroTCPIP", 4, kStarted},
                             {"KaveroTCPIP", 4, kBindFailure}};
  if (c.pause_while_freeing) {
    want.push_back({"KaveroTCPIP", 4, kPaused});
    want.push_back({"KaveroTCPIP", 4, kContinued});
  }
  // The exchange: one entry for each of the four unpacks of a COM frame.
  want.insert(
      want.end(), 4,
      {"KaveroTCPIP", 4, std::string(kReceived) + "108: True " + kComMessage});
  want.push_back({"KaveroTCPIP", 4, kStopped});
  EXPECT_EQ(Entries(), want);
}

INSTANTIATE_TEST_SUITE_P(
    Watchdog, WatchdogE2eTest,
    ::testing::Values(
        WatchdogCase{"RunningWithIncompleteDatabaseSettings", false, {}},
        WatchdogCase{"PausedWhileThePortIsFreedWithCompleteDatabaseSettings",
                     true,
                     {{"SQLServer", "127.0.0.1,1"},
                      {"SQLDatabase", "Zefo"},
                      {"SQLInlognaam", "kavero"},
                      {"SQLPaswoord", "geheim"}}}),
    [](const auto& info) { return std::string(info.param.label); });

// A watchdog whose start fails writes one error entry under the program's
// source and stays off: the listener is not started when the port is freed
// later.
TEST_F(WatchdogE2eTest, AFailedStartSwitchesTheWatchdogOff) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  ASSERT_NE(holder_.port(), 0);
  constexpr milliseconds kShort{200};
  StartService(kShort);
  ASSERT_TRUE(service_.WaitForEventMatching([](const JsonEvent& e) {
    return e.text == kBindFailure && e.type == 1;
  })) << "the watchdog did not run";
  holder_.Release();
  std::this_thread::sleep_for(4 * kShort);
  EXPECT_FALSE(Listening());
  service_.Signal(SIGTERM);
  EXPECT_EQ(service_.WaitForExit(), 0);
  EXPECT_EQ(Entries(), (std::vector<Entry>{{"KaveroTCPIP", 4, kStarted},
                                           {"KaveroTCPIP", 4, kBindFailure},
                                           {"KvxTCPServer", 1, kBindFailure},
                                           {"KaveroTCPIP", 4, kStopped}}));
}

}  // namespace
}  // namespace kvx::e2e
