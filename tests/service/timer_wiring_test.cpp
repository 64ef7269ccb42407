// TimerList1 and the database link inside the module: started by
// ServiceStart, ticked by the service thread, closed at process end.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "fakes/fake_clock.h"
#include "fakes/fake_odbc_link.h"
#include "fakes/fake_system_info.h"
#include "fakes/fake_tick_scheduler.h"
#include "fakes/fake_udp_broadcaster.h"
#include "fakes/mem_file_system.h"
#include "fakes/recording_event_sink.h"
#include "service/kavero_tcpip.h"
#include "status/computer_pakket.h"
#include "status/xor_cipher.h"

namespace kvx {
namespace {

class TimerWiringTest : public ::testing::Test {
 protected:
  void Start(const std::string& settings) {
    files_.AddDirectory("/prog");
    files_.AddFile(
        "/prog/KvxTCPConfig.xml",
        "<Config>\r\n<Key>Morvek</Key>\r\n" + settings + "</Config>\r\n");
    bool started = true;
    module_->ServiceStart(started);
    events_.Clear();
  }
  void TickAfter(std::uint32_t ms) {
    clock_.Advance(ms);
    module_->TimerTick();
  }

  FakeClock clock_;
  MemFileSystem files_;
  RecordingEventSink events_;
  FakeTickScheduler ticks_;
  FakeSystemInfo info_;
  FakeUdpBroadcaster udp_;
  FakeOdbcLink odbc_;
  std::unique_ptr<TKaveroTCPIP> module_ = std::make_unique<TKaveroTCPIP>(
      Platform{clock_, files_, events_, ticks_, "/prog/", info_, udp_,
               "/prog/KvxTCPServer", odbc_});
};

TEST_F(TimerWiringTest, StartAppliesHTTPTimerAndIncompleteSettingsOnlyWarn) {
  Start("<HTTPTimer>2500</HTTPTimer>\r\n");
  EXPECT_TRUE(ticks_.running);
  EXPECT_EQ(ticks_.period, 2500u);
  const std::size_t datagrams = udp_.sent.size();
  TickAfter(60000);
  TickAfter(30000);  // a heartbeat would be due now
  const std::vector<RecordedEvent> want = {
      {"KaveroTCPIP", EventType::kWarning, 1, 0,
       "Kavero TCPIP database gegevens onvolledig"}};
  EXPECT_EQ(events_.Events(), want);
  EXPECT_EQ(udp_.sent.size(), datagrams) << "no heartbeat without a database";
  EXPECT_TRUE(odbc_.server.connection_strings.empty())
      << "incomplete settings never reach the driver";
  module_.reset();
  EXPECT_EQ(events_.Events(), want);  // never connected: nothing to close
}

TEST_F(TimerWiringTest, DatabaseOpensHeartbeatFollowsAndEndClosesIt) {
  Start(
      "<SQLServer>127.0.0.1,1433</SQLServer>\r\n"
      "<SQLDatabase>Zefo</SQLDatabase>\r\n"
      "<SQLInlognaam>kavero</SQLInlognaam>\r\n"
      "<SQLPaswoord>geheim</SQLPaswoord>\r\n");
  const std::size_t datagrams = udp_.sent.size();
  TickAfter(60000);
  EXPECT_EQ(events_.Texts(),
            (std::vector<std::string>{
                "Kavero Zefo database gekoppeld",
                "Kavero TCP/IP server koppeling met SQL database succesvol"}));
  ASSERT_EQ(odbc_.server.connection_strings.size(), 1u);
  EXPECT_NE(odbc_.server.connection_strings[0].find(
                "SERVER={127.0.0.1,1433};DATABASE={Zefo};UID={kavero};"
                "PWD={geheim};"),
            std::string::npos)
      << odbc_.server.connection_strings[0];
  EXPECT_EQ(odbc_.server.login_timeouts, std::vector<int>{15});
  EXPECT_EQ(udp_.sent.size(), datagrams) << "the heartbeat waits 30 s";
  TickAfter(30000);
  ASSERT_EQ(udp_.sent.size(), datagrams + 1);
  std::string text = udp_.sent.back().payload;
  XorTransform(text, "Morvek");
  // The heartbeat carries the version that the start read; no TOSID is set.
  EXPECT_EQ(text,
            "3003,20100525140307,SERVER1,,"
            "##2097024#1802240#1047532#524288#5.1#50#V1.0#" +
                GetVersionString() + "#1##");
  EXPECT_EQ(udp_.sent.back().to.port, 54200);
  EXPECT_EQ(udp_.sent.back().to.address, 0xFFFFFFFFu);

  events_.Clear();
  module_.reset();
  EXPECT_EQ(events_.Texts(), std::vector<std::string>{
                                 "Kavero Zefo database verbinding verbroken"});
  EXPECT_EQ(odbc_.server.disconnects, 1);
  EXPECT_EQ(odbc_.connections_made, 1);
}

}  // namespace
}  // namespace kvx
