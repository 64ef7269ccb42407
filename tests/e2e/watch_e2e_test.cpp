// The HTTP watch endpoint of the running program: /metrics counted by real
// frames and read by promtool and a real Prometheus server, /health through
// an archive fault, and the status page in a headless browser.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "e2e/exchange.h"
#include "e2e/harness.h"
#include "e2e/http_peers.h"
#include "e2e/operator_texts.h"

namespace kvx::e2e {
namespace {

namespace fs = std::filesystem;

struct Ports {
  std::uint16_t tcp = 0;
  std::uint16_t http = 0;
};

// Starts the service with the template, the listener on a free port and the
// watch endpoint on another; waits for both start entries.
Ports StartWatched(ServiceProcess& service) {
  Ports p{FreeTcpPort(), FreeTcpPort()};
  std::string config =
      ConfigWith(service.dir(),
                 {{"Binding", "127.0.0.1"}, {"Port", std::to_string(p.tcp)}});
  const std::string end = "</KaveroMMserver>";
  config.insert(config.rfind(end), "<Watch>\r\n<MetricsPort>" +
                                       std::to_string(p.http) +
                                       "</MetricsPort>\r\n</Watch>\r\n");
  service.WriteFile("KvxTCPConfig.xml", config);
  service.Start();
  if (!service.WaitForEvent(ListenerStartedText("127.0.0.1", p.tcp)) ||
      !service.WaitForEvent("Kavero TCP/IP metrics werd met succes gestart op "
                            "127.0.0.1 op poort " +
                            std::to_string(p.http))) {
    ADD_FAILURE() << "not started; stderr: " << service.Stderr();
    return {};
  }
  return p;
}

std::string Get(std::uint16_t port, const std::string& target,
                int want_status = 200) {
  const HttpResponse r = HttpRequest(port, "GET", target);
  EXPECT_EQ(r.status, want_status) << target << "\n" << r.head << r.body;
  return r.body;
}

TEST(WatchE2eTest, MetricsCountExactlyTheFramesSent) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  ServiceProcess service;
  const Ports p = StartWatched(service);
  ASSERT_NE(p.http, 0);
  const auto before = Samples(Get(p.http, "/metrics"));
  EXPECT_EQ(before.at("kvx_connections_accepted_total"), "0");
  EXPECT_EQ(before.at("kvx_build_info{version=\"1.0.0.1\"}"), "1");

  std::size_t sent = 0;
  std::size_t received = 0;
  {
    TcpClient client(p.tcp);
    ASSERT_TRUE(client.connected());
    const auto exchange = [&](const std::string& frame,
                              const std::string& reply) {
      client.Send(frame);
      sent += frame.size();
      EXPECT_EQ(client.ReadExactly(reply.size()), reply);
      received += reply.size();
    };
    for (int i = 0; i < 2; ++i) exchange(kComFrame, kInfFrame);
    for (const char* tag : {"1", "2", "3"}) {
      exchange(Frame(Message(tag, "POS")), Frame(AckMessage(tag)));
    }
    exchange(Frame("<MSG type=\"POS\"></MSG>"), std::string(1, kNak));
  }
  ASSERT_TRUE(WaitFor([&] {
    return Samples(Get(p.http, "/metrics")).at("kvx_connections_open") == "0";
  }));
  const std::string text = Get(p.http, "/metrics");
  const auto m = Samples(text);
  EXPECT_EQ(m.at("kvx_connections_accepted_total"), "1");
  EXPECT_EQ(m.at("kvx_frames_answered_total{reply=\"INF\"}"), "2");
  EXPECT_EQ(m.at("kvx_frames_answered_total{reply=\"ACK\"}"), "3");
  EXPECT_EQ(m.at("kvx_frames_answered_total{reply=\"NAK\"}"), "1");
  EXPECT_EQ(m.at("kvx_received_bytes_total"), std::to_string(sent));
  EXPECT_EQ(m.at("kvx_sent_bytes_total"), std::to_string(received));
  EXPECT_EQ(m.at("kvx_frame_reply_seconds_count"), "6");
  EXPECT_EQ(m.at("kvx_archive_files_written_total"), "12");
  EXPECT_EQ(m.at("kvx_archive_failures_total"), "0");
  // The start datagram went out on the namespace's loopback route.
  EXPECT_EQ(m.at("kvx_status_datagrams_sent_total"), "1");
  EXPECT_NE(m.at("kvx_event_log_entries_total{type=\"information\"}"), "0");
  EXPECT_NE(m.count("kvx_archive_free_bytes"), 0u);
  EXPECT_NE(m.count("kvx_process_open_fds"), 0u);

  const std::string promtool = FindProgram("promtool");
  if (!promtool.empty()) {
    const std::string file = service.dir() + "metrics.txt";
    std::ofstream(file) << text;
    const RunResult check =
        RunProgram("/bin/sh", {"-c", promtool + " check metrics < " + file});
    EXPECT_EQ(check.exit_status, 0) << check.out << check.err;
  }
  EXPECT_TRUE(service.Stop());
}

TEST(WatchE2eTest, AnswersOnlyGetOfItsThreePaths) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  ServiceProcess service;
  const Ports p = StartWatched(service);
  ASSERT_NE(p.http, 0);
  EXPECT_EQ(HttpRequest(p.http, "POST", "/metrics").status, 405);
  EXPECT_EQ(HttpRequest(p.http, "PUT", "/").status, 405);
  EXPECT_EQ(HttpRequest(p.http, "GET", "/KvxTCPConfig.xml").status, 404);
  EXPECT_EQ(HttpRequest(p.http, "GET", "/../KvxTCPConfig.xml").status, 404);
  EXPECT_TRUE(service.Stop());
}

// A port already taken: one error entry, and the gateway serves frames.
TEST(WatchE2eTest, AnEndpointThatCannotBindLeavesTheGatewayRunning) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  PortHolder taken;
  ServiceProcess service;
  const std::uint16_t port = FreeTcpPort();
  std::string config =
      ConfigWith(service.dir(),
                 {{"Binding", "127.0.0.1"}, {"Port", std::to_string(port)}});
  config.insert(
      config.rfind("</KaveroMMserver>"),
      "<MetricsPort>" + std::to_string(taken.port()) + "</MetricsPort>");
  service.WriteFile("KvxTCPConfig.xml", config);
  service.Start();
  const auto entry = service.WaitForEventMatching([](const JsonEvent& e) {
    return e.text.rfind("Kavero TCP/IP metrics kon niet starten op ", 0) == 0;
  });
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->type, 1);
  ASSERT_TRUE(service.WaitForEvent(ListenerStartedText("127.0.0.1", port)));
  TcpClient client(port);
  client.Send(kComFrame);
  EXPECT_EQ(client.ReadExactly(kInfFrame.size()), kInfFrame);
  EXPECT_TRUE(service.Stop());
}

TEST(WatchE2eTest, HealthFailsWhileTheArchiveCannotBeWritten) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  ServiceProcess service;
  const Ports p = StartWatched(service);
  ASSERT_NE(p.http, 0);
  EXPECT_EQ(Get(p.http, "/health").rfind("{\"status\":\"ok\"", 0), 0u);

  const std::string xml = service.dir() + "KvxTCPIP/XML";
  fs::remove_all(xml);
  TcpClient client(p.tcp);
  client.Send(kComFrame);
  ASSERT_TRUE(WaitFor(
      [&] { return HttpRequest(p.http, "GET", "/health").status == 503; }));
  const std::string failing = Get(p.http, "/health", 503);
  EXPECT_EQ(failing.rfind("{\"status\":\"failing\"", 0), 0u) << failing;
  EXPECT_NE(failing.find("\"last_write_ok\":false"), std::string::npos);
  EXPECT_TRUE(WaitFor([&] {
    return Samples(Get(p.http, "/metrics"))
               .at("kvx_frame_steps_waiting_retry") == "1";
  }));

  fs::create_directory(xml);
  EXPECT_EQ(client.ReadExactly(kInfFrame.size()), kInfFrame);
  ASSERT_TRUE(WaitFor(
      [&] { return HttpRequest(p.http, "GET", "/health").status == 200; }));
  EXPECT_EQ(Get(p.http, "/health").rfind("{\"status\":\"ok\"", 0), 0u);
  // The archive's outcome reaches the counters on the archive thread, the
  // step's end a moment later on the connection's thread.
  EXPECT_TRUE(WaitFor([&] {
    return Samples(Get(p.http, "/metrics"))
               .at("kvx_frame_steps_waiting_retry") == "0";
  }));
  EXPECT_TRUE(service.Stop());
}

// A real Prometheus server on loopback scrapes the endpoint every second;
// its query API then holds the gateway's series.
TEST(WatchE2eTest, PrometheusScrapesTheGateway) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  const std::string prometheus = FindProgram("prometheus");
  if (prometheus.empty()) GTEST_SKIP() << "prometheus is not installed";
  ServiceProcess service;
  const Ports p = StartWatched(service);
  ASSERT_NE(p.http, 0);
  TcpClient client(p.tcp);
  client.Send(kComFrame);
  ASSERT_EQ(client.ReadExactly(kInfFrame.size()), kInfFrame);

  const std::string dir = service.dir() + "prometheus/";
  fs::create_directories(dir + "data");
  std::ofstream(dir + "prometheus.yml")
      << "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
         "scrape_configs:\n  - job_name: kavero\n    static_configs:\n"
         "      - targets: ['127.0.0.1:"
      << p.http << "']\n";
  const std::uint16_t api = FreeTcpPort();
  ChildProcess server({prometheus, "--config.file=" + dir + "prometheus.yml",
                       "--storage.tsdb.path=" + dir + "data",
                       "--web.listen-address=127.0.0.1:" + std::to_string(api)},
                      dir + "log.txt");
  ASSERT_TRUE(server.started());
  std::string answer;
  const bool seen = WaitFor(
      [&] {
        answer = HttpRequest(api, "GET",
                             "/api/v1/query?query=kvx_frames_answered_total"
                             "%7Breply%3D%22INF%22%7D")
                     .body;
        return answer.find("\"job\":\"kavero\"") != std::string::npos &&
               answer.find("\"1\"]") != std::string::npos;
      },
      milliseconds(60000));
  EXPECT_TRUE(seen) << answer << "\n" << ReadWholeFile(dir + "log.txt");
  EXPECT_NE(answer.find("\"__name__\":\"kvx_frames_answered_total\""),
            std::string::npos);
  const std::string up =
      HttpRequest(api, "GET", "/api/v1/query?query=up%7Bjob%3D%22kavero%22%7D")
          .body;
  EXPECT_NE(up.find("\"1\"]"), std::string::npos) << up;
  EXPECT_TRUE(service.Stop());
}

// The status page in a real headless browser: the key fields are there and
// an entry text holding a script element shows as text.
TEST(WatchE2eTest, StatusPageRendersInABrowserWithEntriesAsText) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  const std::string chromium = FindProgram("chromium");
  if (chromium.empty()) GTEST_SKIP() << "chromium is not installed";
  ServiceProcess service;
  const Ports p = StartWatched(service);
  ASSERT_NE(p.http, 0);
  TcpClient client(p.tcp);
  const std::string hostile =
      "<MSG tag=\"66\" type=\"POS\"><script>document.title='pwned';"
      "document.body.innerHTML='pwned'</script></MSG>";
  client.Send(Frame(hostile));
  ASSERT_EQ(client.ReadExactly(Frame(AckMessage("66")).size()),
            Frame(AckMessage("66")));

  const std::string profile = service.dir() + "chromium";
  const RunResult dom = RunProgram(
      chromium,
      {"--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
       "--user-data-dir=" + profile, "--virtual-time-budget=2000", "--dump-dom",
       "http://127.0.0.1:" + std::to_string(p.http) + "/"},
      {{"HOME", profile}}, milliseconds(60000));
  ASSERT_EQ(dom.exit_status, 0) << dom.err;
  const std::string& html = dom.out;
  for (const std::string part :
       {"<title>Kavero TCP Server</title>", "<td>running</td>",
        "<td>1.0.0.1</td>", "<th>Frames since start</th><td>1</td>",
        "<th>Connections now</th><td>1</td>",
        "&lt;script&gt;document.title='pwned';"}) {
    EXPECT_NE(html.find(part), std::string::npos) << part << "\n" << html;
  }
  EXPECT_EQ(html.find("<script>"), std::string::npos) << html;
  EXPECT_TRUE(service.Stop());
}

}  // namespace
}  // namespace kvx::e2e
