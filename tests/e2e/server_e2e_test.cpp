// The message server of the running program: the configured binding, one
// exchange over loopback and its archive files.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <string>

#include "e2e/harness.h"

namespace kvx::e2e {
namespace {

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
  PortHolder holder;
  ASSERT_NE(holder.port(), 0);
  ServiceProcess service;
  service.WriteFile(
      "KvxTCPConfig.xml",
      ConfigWith(service.dir(), {{"Port", std::to_string(holder.port())}}));
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
}

}  // namespace
}  // namespace kvx::e2e
