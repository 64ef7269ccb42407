// What the module asks of the systemd unit, read from the configuration at
// install time.
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
#include "platform/error.h"
#include "service/kavero_tcpip.h"

namespace kvx {
namespace {

class UnitOptionsTest : public ::testing::Test {
 protected:
  UnitOptionsTest() { files_.AddDirectory("/prog"); }

  FakeClock clock_;
  MemFileSystem files_;
  RecordingEventSink events_;
  FakeTickScheduler ticks_;
  FakeSystemInfo info_;
  FakeUdpBroadcaster udp_;
  FakeOdbcLink odbc_;
  TKaveroTCPIP module_{Platform{clock_, files_, events_, ticks_, "/prog/",
                                info_, udp_, "/prog/KvxTCPServer", odbc_}};
  const std::vector<std::string> own_ = {
      "/prog/KvxTCPIP", "/prog/KvxTCPConfig.xml", "/prog/KvxTCPData"};
};

TEST_F(UnitOptionsTest, WithoutAConfigurationTheTemplatesValuesCount) {
  const UnitOptions options = module_.ServiceUnitOptions();
  EXPECT_EQ(options.read_write_paths, own_);
  EXPECT_FALSE(options.bind_low_port);
  EXPECT_TRUE(options.program_path.empty());
  EXPECT_TRUE(options.user.empty());
}

TEST_F(UnitOptionsTest, ArchiveElsewhereIsWritableAndLowPortsKeepBinding) {
  struct Case {
    std::string port, output;
    std::string extra_path;  // empty: none
    bool low;
  };
  const Case cases[] = {
      {"9200", "/prog/KvxTCPIP/XML", "", false},
      {"9200", "/prog/KvxTCPIP", "", false},
      {"9200", "/srv/archive", "/srv/archive", false},
      {"9200", "/prog/KvxTCPIPother", "/prog/KvxTCPIPother", false},
      {"9200", "relative/xml", "", false},
      {"9200", "", "", false},
      {"80", "/prog/KvxTCPIP/XML", "", true},
      {"1023", "/prog/KvxTCPIP/XML", "", true},
      {"1024", "/prog/KvxTCPIP/XML", "", false},
      {"$50", "/prog/KvxTCPIP/XML", "", true},     // 80 in hexadecimal
      {"65616", "/prog/KvxTCPIP/XML", "", true},   // low 16 bits: 80
      {"65536", "/prog/KvxTCPIP/XML", "", false},  // low 16 bits: any port
      {"-80", "/prog/KvxTCPIP/XML", "", false},    // no listener
      {"0", "/prog/KvxTCPIP/XML", "", false},
  };
  for (const Case& c : cases) {
    files_.AddFile("/prog/KvxTCPConfig.xml",
                   "<TCPServer>\r\n<Port>" + c.port +
                       "</Port>\r\n</TCPServer>\r\n<OutputDirectory>" +
                       c.output + "</OutputDirectory>\r\n");
    const UnitOptions options = module_.ServiceUnitOptions();
    std::vector<std::string> want = own_;
    if (!c.extra_path.empty()) want.push_back(c.extra_path);
    EXPECT_EQ(options.read_write_paths, want) << c.port << " " << c.output;
    EXPECT_EQ(options.bind_low_port, c.low) << c.port;
  }
}

}  // namespace
}  // namespace kvx
