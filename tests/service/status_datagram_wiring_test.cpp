// The status datagrams of the lifecycle handlers: which code each handler
// sends, where in the handler, and with which program version.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fakes/fake_clock.h"
#include "fakes/fake_odbc_link.h"
#include "fakes/fake_system_info.h"
#include "fakes/fake_udp_broadcaster.h"
#include "fakes/mem_file_system.h"
#include "fakes/recording_event_sink.h"
#include "service/kavero_tcpip.h"
#include "status/computer_pakket.h"
#include "status/xor_cipher.h"
#include "timers/tick_scheduler.h"

namespace kvx {
namespace {

constexpr char kNoListenerText[] =
    "Geen TCP poort ingesteld; Kavero TCP/IP server luistert niet";

class IdleTicks final : public TickScheduler {
 public:
  bool StartTicks(std::uint32_t) override { return true; }
  void StopTicks() override {}
};

// The broadcast socket, noting how many event entries stood written when
// each datagram went out.
class CountingBroadcaster final : public UdpBroadcaster {
 public:
  explicit CountingBroadcaster(const RecordingEventSink& events)
      : events_(events) {}
  bool Open() override { return socket.Open(); }
  bool SetBroadcast(bool on) override { return socket.SetBroadcast(on); }
  bool SendTo(std::string_view payload, const Ipv4Endpoint& to) override {
    entries_before_send.push_back(events_.Texts().size());
    return socket.SendTo(payload, to);
  }
  void Close() override { socket.Close(); }

  FakeUdpBroadcaster socket;
  std::vector<std::size_t> entries_before_send;

 private:
  const RecordingEventSink& events_;
};

class StatusWiringTest : public ::testing::Test {
 protected:
  void WriteConfig(const std::string& key) {
    files_.AddDirectory("/prog");
    files_.AddFile("/prog/KvxTCPConfig.xml",
                   "<Config>\r\n<Key>" + key +
                       "</Key>\r\n<TOSID>FFFFFFFFFF</TOSID>\r\n"
                       "<OutputDirectory>/prog/KvxTCPIP/XML</OutputDirectory>"
                       "\r\n</Config>\r\n");
  }

  // The datagram `i`, deciphered with `key`.
  std::string Datagram(std::size_t i, std::string_view key = "Morvek") {
    std::string text = udp_.socket.sent.at(i).payload;
    XorTransform(text, key);
    return text;
  }

  FakeClock clock_;
  MemFileSystem files_;
  RecordingEventSink events_;
  IdleTicks ticks_;
  FakeSystemInfo info_;
  CountingBroadcaster udp_{events_};
  FakeOdbcLink odbc_;
  TKaveroTCPIP module_{Platform{clock_, files_, events_, ticks_, "/prog/",
                                info_, udp_, "/prog/KvxTCPServer", odbc_}};
};

TEST_F(StatusWiringTest, LifecycleHandlersSendTheirCodesInPlace) {
  WriteConfig("Morvek");
  bool flag = true;
  module_.ServiceStart(flag);
  EXPECT_EQ(module_.program_version(), GetVersionString());
  module_.ServicePause(flag);
  module_.ServiceContinue(flag);
  module_.ServiceShutdown();

  const std::string tail =
      ",20100525140307,SERVER1,FFFFFFFFFF,"
      "##2097024#1802240#1047532#524288#5.1#50#V1.0#";
  const std::string version = GetVersionString();
  ASSERT_EQ(udp_.socket.sent.size(), 4u);
  // The start datagram goes before the version is read.
  EXPECT_EQ(Datagram(0), "3000" + tail + "#1##");
  EXPECT_EQ(Datagram(1), "3002" + tail + version + "#1##");
  EXPECT_EQ(Datagram(2), "3000" + tail + version + "#1##");
  EXPECT_EQ(Datagram(3), "3001" + tail + version + "#1##");

  // Entries: started and no listener (the configuration has no Port); then
  // pause sends before its entry, continue after its entry, shutdown before
  // its entry.
  const std::vector<std::string> texts = events_.Texts();
  ASSERT_EQ(texts.size(), 5u);
  EXPECT_EQ(texts[1], kNoListenerText);
  EXPECT_EQ(texts[2], "Kavero TCP/IP server werd onderbroken door pauze actie");
  EXPECT_EQ(texts[3], "Kavero TCP/IP server werd na een pauze gestart");
  EXPECT_EQ(udp_.entries_before_send, (std::vector<std::size_t>{2, 2, 4, 4}));
}

TEST_F(StatusWiringTest, EmptyKeySendsPlainText) {
  WriteConfig("");
  bool flag = true;
  module_.ServiceStart(flag);
  ASSERT_EQ(udp_.socket.sent.size(), 1u);
  EXPECT_EQ(udp_.socket.sent[0].payload.substr(0, 20), "3000,20100525140307,");
}

TEST_F(StatusWiringTest, UnsentDatagramIsDroppedWithoutAWord) {
  WriteConfig("Morvek");
  udp_.socket.fail_at = FakeUdpBroadcaster::Step::kSend;
  bool flag = true;
  module_.ServiceStart(flag);
  module_.ServicePause(flag);
  EXPECT_TRUE(udp_.socket.sent.empty());
  EXPECT_EQ(module_.program_version(), GetVersionString())
      << "the start went on after the failed send";
  EXPECT_EQ(events_.Texts(),
            (std::vector<std::string>{
                "Kavero TCP/IP server werd normaal gestart", kNoListenerText,
                "Kavero TCP/IP server werd onderbroken door pauze actie"}));
}

}  // namespace
}  // namespace kvx
