// The optional ProxyProtocol element: on only when it reads exactly "True",
// off when the file does not have it.
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
#include "timers/tick_scheduler.h"

namespace kvx {
namespace {

class IdleTicks final : public TickScheduler {
 public:
  bool StartTicks(std::uint32_t) override { return true; }
  void StopTicks() override {}
};

TEST(ProxySettingTest, OnOnlyWhenExactlyTrue) {
  struct Case {
    std::string element;  // inserted into the configuration
    bool on;
  };
  const std::vector<Case> cases = {
      {"", false},
      {"<ProxyProtocol>True</ProxyProtocol>\r\n", true},
      {"<ProxyProtocol>true</ProxyProtocol>\r\n", false},
      {"<ProxyProtocol>TRUE</ProxyProtocol>\r\n", false},
      {"<ProxyProtocol> True</ProxyProtocol>\r\n", false},
      {"<ProxyProtocol>True </ProxyProtocol>\r\n", false},
      {"<ProxyProtocol>1</ProxyProtocol>\r\n", false},
      {"<ProxyProtocol>True\r\n</ProxyProtocol>\r\n", false},
  };
  for (const auto& c : cases) {
    FakeClock clock;
    MemFileSystem files;
    RecordingEventSink events;
    IdleTicks ticks;
    FakeSystemInfo info;
    FakeUdpBroadcaster udp;
    FakeOdbcLink odbc;
    TKaveroTCPIP module{Platform{clock, files, events, ticks, "/prog/", info,
                                 udp, "/prog/KvxTCPServer", odbc}};
    files.AddDirectory("/prog");
    files.AddFile(
        "/prog/KvxTCPConfig.xml",
        "<Config>\r\n<Key>Morvek</Key>\r\n" + c.element + "</Config>\r\n");
    bool started = true;
    module.ServiceStart(started);
    EXPECT_EQ(module.settings().FProxyProtocol, c.on) << c.element;
  }
}

}  // namespace
}  // namespace kvx
