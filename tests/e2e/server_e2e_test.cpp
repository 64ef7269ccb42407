// The message server of the running program: the configured binding, one
// exchange over loopback and its archive files.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "e2e/harness.h"

namespace kvx::e2e {
namespace {

const std::string kComMessage =
    R"(<MSG tag="7" type="COM"><Verzender>ab</Verzender><Ontvanger>cd</Ontvanger></MSG>)";
// The message framed by hand: SOH, 108, STX, its base64, EOT.
const std::string kComFrame =
    "\x01"
    "108\x02"
    "PE1TRyB0YWc9IjciIHR5cGU9IkNPTSI+PFZlcnplbmRlcj5hYjwvVmVyemVuZGVyPjxPbnR2"
    "YW5nZXI+Y2Q8L09udHZhbmdlcj48L01TRz4=\x04";
// The INF answer: tag 7, sender and receiver swapped, version 1.0.
const std::string kInfFrame =
    "\x01"
    "256\x02"
    "PD94bWwgdmVyc2lvbj0iMS4wIiA/Pg0KPE1TRyB0YWc9IjciIHR5cGU9IklORiIgcHJvdG9j"
    "b2w9IkNPTl9LViIgdmVyc2llPSIxLjAiPg0KPFZlcnplbmRlcj5jZDwvVmVyemVuZGVyPg0K"
    "PE9udHZhbmdlcj5hYjwvT250dmFuZ2VyPg0KPEthdmVybz4NCjxLYXZlcm9JbmZvPjwvS2F2"
    "ZXJvSW5mbz4NCjwvS2F2ZXJvPg0KPC9NU0c+DQo=\x04";

// The one file in `dir` whose name starts with `prefix` and ends with
// `suffix`; empty when there is not exactly one.
std::string OnlyFile(const std::string& dir, const std::string& prefix,
                     const std::string& suffix) {
  std::string found;
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(prefix, 0) == 0 && name.size() >= suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
      found = name;
      ++count;
    }
  }
  return count == 1 ? found : std::string();
}

TEST(ServerE2eTest, AnswersOnTheConfiguredBindingAndArchives) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  ServiceProcess service;
  const std::uint16_t port = FreeTcpPort();
  service.WriteFile("KvxTCPConfig.xml",
                    ConfigWith(service.dir(), {{"Port", std::to_string(port)},
                                               {"Binding", "127.0.0.1"}}));
  service.Start();
  ASSERT_TRUE(service.WaitForEvent(
      "Kavero TCP/IP server werd met succes gestart op 127.0.0.1 op poort " +
      std::to_string(port)));

  TcpClient client(port);
  ASSERT_TRUE(client.connected());
  ASSERT_EQ(kComFrame.size(), 114u);
  ASSERT_TRUE(client.Send(kComFrame));
  EXPECT_EQ(client.ReadExactly(kInfFrame.size()), kInfFrame);

  const std::string xml = service.dir() + "KvxTCPIP/XML/";
  const std::string raw = OnlyFile(xml, "TCP_COMx_", "_1.TXT");
  const std::string decoded = OnlyFile(xml, "TCP_COM_", "_1.XML");
  ASSERT_FALSE(raw.empty());
  ASSERT_FALSE(decoded.empty());
  EXPECT_EQ(service.ReadFile("KvxTCPIP/XML/" + raw), kComFrame + "\r\n");
  EXPECT_EQ(service.ReadFile("KvxTCPIP/XML/" + decoded), kComMessage + "\r\n");

  service.Signal(SIGTERM);
  EXPECT_EQ(service.WaitForExit(), 0);
}

TEST(ServerE2eTest, ReportsAPortInUseAsInformationAndGoesOn) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  const int holder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&addr), len), 0);
  ASSERT_EQ(::listen(holder, 1), 0);
  ASSERT_EQ(::getsockname(holder, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  const std::string port = std::to_string(ntohs(addr.sin_port));

  ServiceProcess service;
  service.WriteFile("KvxTCPConfig.xml",
                    ConfigWith(service.dir(), {{"Port", port}}));
  service.Start();
  const auto failure = service.WaitForEvent(
      "Could not bind socket. Address and port are already in use.");
  ASSERT_TRUE(failure.has_value());
  EXPECT_EQ(failure->type, 4);
  EXPECT_TRUE(service.Running());
  for (const auto& text : service.Texts()) {
    EXPECT_EQ(text.find("werd met succes gestart op"), std::string::npos);
  }
  service.Signal(SIGTERM);
  EXPECT_EQ(service.WaitForExit(), 0);
  ::close(holder);
}

}  // namespace
}  // namespace kvx::e2e
