// kvx-send and kvx-monitor against the running program.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "e2e/exchange.h"
#include "e2e/harness.h"
#include "e2e/operator_texts.h"
#include "fakes/json_event.h"

namespace kvx::e2e {
namespace {

const std::string kSend = KVX_SEND_BINARY;
const std::string kMonitor = KVX_MONITOR_BINARY;

// The INF answer to <MSG tag="7" type="COM"> from ab to cd: 191 bytes.
const std::string kInfReply =
    "<?xml version=\"1.0\" ?>\r\n"
    "<MSG tag=\"7\" type=\"INF\" protocol=\"CON_KV\" versie=\"1.0\">\r\n"
    "<Verzender>cd</Verzender>\r\n"
    "<Ontvanger>ab</Ontvanger>\r\n"
    "<Kavero>\r\n"
    "<KaveroInfo></KaveroInfo>\r\n"
    "</Kavero>\r\n"
    "</MSG>\r\n";
// The ACK to tag 8 with the template's settings: 145 bytes.
const std::string kAckReply = AckMessage("8");
const std::string kAbcMessage = Message("8", "ABC");

// The service on a free port of 127.0.0.1, started and listening.
class ToolsE2eTest : public ::testing::Test {
 protected:
  void StartService(const std::map<std::string, std::string>& settings = {}) {
    auto all = settings;
    all["Port"] = std::to_string(port_);
    service_.WriteFile("KvxTCPConfig.xml", ConfigWith(service_.dir(), all));
    service_.Start();
    ASSERT_TRUE(service_.WaitForEvent(ListenerStartedText("127.0.0.1", port_)));
  }
  void TearDown() override {
    if (service_.Running()) {
      service_.Signal(SIGTERM);
      EXPECT_EQ(service_.WaitForExit(), 0);
    }
  }
  std::string Port() const { return std::to_string(port_); }
  // A message file in the program directory; its full path.
  std::string MessageFile(const std::string& name, const std::string& text) {
    service_.WriteFile(name, text);
    return service_.dir() + name;
  }

  ServiceProcess service_;
  const std::uint16_t port_ = FreeTcpPort();
};

TEST_F(ToolsE2eTest, PrintsTheInfAndAckReplies) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  StartService();
  RunResult inf = RunProgram(kSend, {"--port", Port(), "--tag", "7", "--type",
                                     "COM", "--from", "ab", "--to", "cd"});
  EXPECT_EQ(inf.exit_status, 0) << inf.err;
  EXPECT_EQ(inf.out, kInfReply);
  EXPECT_EQ(inf.err, "");

  // A composed message and two files, in order on one connection.
  RunResult both =
      RunProgram(kSend, {"-p", Port(), "--tag=7", "--from=ab", "--to=cd",
                         MessageFile("abc.xml", kAbcMessage),
                         MessageFile("abc2.xml", kAbcMessage)});
  EXPECT_EQ(both.exit_status, 0) << both.err;
  EXPECT_EQ(both.out, kInfReply + kAckReply + kAckReply);

  RunResult hex = RunProgram(
      kSend, {"-p", Port(), "--hex", MessageFile("abc.xml", kAbcMessage)});
  EXPECT_EQ(hex.exit_status, 0) << hex.err;
  // SOH "196" STX ... EOT: a 202-byte frame, three characters per byte.
  EXPECT_EQ(hex.out.rfind("01 31 39 36 02 ", 0), 0u) << hex.out;
  EXPECT_EQ(hex.out.size(), 202u * 3);
  EXPECT_TRUE(hex.out.ends_with(" 04\n")) << hex.out;
}

TEST_F(ToolsE2eTest, AMessageWithoutTagIsRefused) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  StartService();
  RunResult nak = RunProgram(kSend, {"--port", Port(), "--from", "ab"});
  EXPECT_EQ(nak.exit_status, 2);
  EXPECT_EQ(nak.out, "");
  EXPECT_NE(nak.err.find("message 1 refused (NAK)"), std::string::npos)
      << nak.err;

  // The refusal does not stop the messages after it.
  RunResult rest = RunProgram(
      kSend, {"-p", Port(), "-x", MessageFile("notag.xml", "<MSG type=\"A\"/>"),
              MessageFile("abc.xml", kAbcMessage)});
  EXPECT_EQ(rest.exit_status, 2);
  EXPECT_EQ(rest.out.substr(0, 3), "15\n");
  EXPECT_EQ(rest.out.size(), 3 + 202u * 3);
}

TEST(ToolsE2eNoServiceTest, NothingListening) {
  // Loopback TCP only: no namespace needed.
  const std::string port = std::to_string(FreeTcpPort());
  RunResult r = RunProgram(kSend, {"--port", port, "--tag", "1"});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_NE(r.err.find("cannot connect to 127.0.0.1:" + port),
            std::string::npos)
      << r.err;

  RunResult usage = RunProgram(kSend, {"--port", "none"});
  EXPECT_EQ(usage.exit_status, 64);
  RunResult help = RunProgram(kSend, {"--help"});
  EXPECT_EQ(help.exit_status, 0);
  EXPECT_EQ(help.out.rfind("Usage: kvx-send", 0), 0u);
  help = RunProgram(kMonitor, {"-h"});
  EXPECT_EQ(help.exit_status, 0);
  EXPECT_EQ(help.out.rfind("Usage: kvx-monitor", 0), 0u);
}

// True once a UDP socket is bound to port 54200 (local port D3B8 in
// /proc/net/udp).
bool StatusPortBound() {
  std::ifstream udp("/proc/net/udp");
  std::string line;
  std::getline(udp, line);  // the header
  while (std::getline(udp, line)) {
    std::istringstream fields(line);
    std::string slot, local;
    fields >> slot >> local;
    if (local.ends_with(":D3B8")) return true;
  }
  return false;
}

TEST_F(ToolsE2eTest, MonitorShowsTheStartDatagram) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  const std::string config = service_.dir() + "KvxTCPConfig.xml";
  service_.WriteFile(
      "KvxTCPConfig.xml",
      ConfigWith(service_.dir(),
                 {{"Port", Port()}, {"Key", "Geheim"}, {"TOSID", "T\"1,#"}}));
  RunResult monitor;
  std::thread run([&] {
    monitor = RunProgram(kMonitor, {"--json", "--count", "1", "--timeout", "15",
                                    "--config", config});
  });
  WaitFor(StatusPortBound);
  service_.Start();
  run.join();

  ASSERT_EQ(monitor.exit_status, 0) << monitor.err;
  ASSERT_TRUE(monitor.out.ends_with("\n"));
  std::vector<std::string> lines = SplitLines(monitor.out);
  ASSERT_EQ(lines.size(), 1u) << monitor.out;
  auto json = ParseFlatJsonObject(lines[0]);
  ASSERT_TRUE(json.has_value()) << lines[0];
  auto text = [&](const std::string& key) {
    auto it = json->find(key);
    EXPECT_TRUE(it != json->end() && it->second.is_string) << key;
    return it == json->end() ? std::string() : it->second.value;
  };
  auto number = [&](const std::string& key) {
    auto it = json->find(key);
    EXPECT_TRUE(it != json->end() && !it->second.is_string) << key;
    return it == json->end() ? std::string() : it->second.value;
  };
  EXPECT_EQ(number("code"), "3000");
  EXPECT_EQ(text("meaning"), "start or continue");
  EXPECT_EQ(text("tosid"), "T\"1,#");
  EXPECT_EQ(text("stamp").size(), 14u);
  EXPECT_FALSE(text("computer").empty());
  EXPECT_EQ(text("os_version").find('.') != std::string::npos, true);
  EXPECT_EQ(text("record_version"), "V1.0");
  EXPECT_EQ(text("program_version"), "");  // read after the start datagram
  EXPECT_EQ(text("final"), "1");
  // The sender's address (0.0.0.0 or 127.0.0.1 in the namespace) and port.
  EXPECT_TRUE(
      std::regex_match(text("from"), std::regex(R"(\d+\.\d+\.\d+\.\d+:\d+)")))
      << text("from");
  EXPECT_NE(number("mem_phys_total_kib"), "0");
  EXPECT_LE(std::stoull(number("mem_phys_free_kib")),
            std::stoull(number("mem_phys_total_kib")));
  EXPECT_LE(std::stoi(number("memory_load_percent")), 100);
  EXPECT_EQ(json->size(), 16u);
}

}  // namespace
}  // namespace kvx::e2e
