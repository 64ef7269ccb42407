// The reload request (SIGHUP): the TLS files are read again, with one entry
// saying whether that worked.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "fakes/fake_clock.h"
#include "fakes/fake_odbc_link.h"
#include "fakes/fake_system_info.h"
#include "fakes/fake_tick_scheduler.h"
#include "fakes/fake_udp_broadcaster.h"
#include "fakes/mem_file_system.h"
#include "fakes/recording_event_sink.h"
#include "fakes/test_certificates.h"
#include "service/kavero_tcpip.h"

namespace kvx {
namespace {

class ReloadTest : public ::testing::Test {
 protected:
  ReloadTest() { files_.AddDirectory("/prog"); }

  // Starts the module with `extra` elements and no listener (Port 0).
  void Start(const std::string& extra) {
    files_.AddFile("/prog/KvxTCPConfig.xml",
                   "<TCPServer>\r\n<Port>0</Port>\r\n</TCPServer>\r\n" + extra);
    bool started = true;
    module_.ServiceStart(started);
  }

  std::string LastText() const {
    const auto texts = events_.Texts();
    return texts.empty() ? std::string() : texts.back();
  }
  EventType LastType() const { return events_.Events().back().type; }

  FakeClock clock_;
  MemFileSystem files_;
  RecordingEventSink events_;
  FakeTickScheduler ticks_;
  FakeSystemInfo info_;
  FakeUdpBroadcaster udp_;
  FakeOdbcLink odbc_;
  TKaveroTCPIP module_{Platform{clock_, files_, events_, ticks_, "/prog/",
                                info_, udp_, "/prog/KvxTCPServer", odbc_}};
};

TEST_F(ReloadTest, WithoutTlsNothingChanges) {
  Start("");
  module_.ServiceReload();
  EXPECT_EQ(LastText(),
            "Kavero TCP/IP server kreeg een verzoek tot herladen; er is geen "
            "TLS ingesteld, er verandert niets");
  EXPECT_EQ(LastType(), EventType::kInformation);
}

TEST_F(ReloadTest, ReadsTheFilesAgainAndReportsTheOutcome) {
  TestCertificates certs;
  Start("<TLSCertificate>" + certs.server_cert() + "</TLSCertificate>" +
        "<TLSKey>" + certs.server_key() + "</TLSKey><TLSClientCA>" +
        certs.ca() + "</TLSClientCA>\r\n<AllowedClients>10.0.0.0/8 ::1" +
        "</AllowedClients><MaxConnections>100</MaxConnections>" +
        "<MaxConnectionsPerClient>4</MaxConnectionsPerClient>" +
        "<ReceiveTimeout>30</ReceiveTimeout>");
  const Settings& s = module_.settings();
  EXPECT_EQ(s.FTLSCertificate, certs.server_cert());
  EXPECT_EQ(s.FTLSClientCA, certs.ca());
  EXPECT_EQ(s.FAllowedClients, "10.0.0.0/8 ::1");
  EXPECT_EQ(s.FMaxConnections, "100");
  EXPECT_EQ(s.FMaxConnectionsPerClient, "4");
  EXPECT_EQ(s.FReceiveTimeout, "30");

  module_.ServiceReload();
  EXPECT_EQ(LastText(),
            "Kavero TCP/IP server heeft TLS certificaat, sleutel en CA opnieuw "
            "geladen voor nieuwe verbindingen");
  EXPECT_EQ(LastType(), EventType::kInformation);

  std::ofstream(certs.server_key(), std::ios::trunc) << "renewal half done\n";
  module_.ServiceReload();
  EXPECT_EQ(LastType(), EventType::kError);
  EXPECT_NE(LastText().find("kon TLS certificaat, sleutel of CA niet opnieuw "
                            "laden: TLSKey \"" +
                            certs.server_key()),
            std::string::npos)
      << LastText();
  EXPECT_NE(LastText().find("de vorige blijven in gebruik"), std::string::npos);
}

}  // namespace
}  // namespace kvx
