// Several gateways: two instances behind the balancer recipe, clients from
// several loopback addresses, a gateway killed during the load, and two
// instances archiving into one directory.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "e2e/balancer.h"
#include "e2e/exchange.h"
#include "e2e/harness.h"
#include "e2e/traffic_records.h"

namespace kvx::e2e {
namespace {

namespace fs = std::filesystem;

// The gateways read the balancer's PROXY header (ProxyProtocol True, the
// recipe's send-proxy-v2), so they see the clients' own addresses.
constexpr bool kGatewaysReadProxyHeader = true;

#define KVX_REQUIRE_BALANCER()                                              \
  do {                                                                      \
    if (BalancerProgram().empty()) {                                        \
      GTEST_SKIP() << "haproxy is not installed (scripts/deps.sh installs " \
                      "it)";                                                \
    }                                                                       \
  } while (0)

std::map<std::string, std::string> GatewaySettings(
    std::map<std::string, std::string> settings = {}) {
  if (kGatewaysReadProxyHeader) settings["ProxyProtocol"] = "True";
  return settings;
}

std::string ArchiveDir(const ServiceProcess& gateway) {
  return gateway.dir() + "KvxTCPIP/XML";
}

// The archive files of a directory: raw files, and the tag of each decoded
// file.
struct Archive {
  int raw = 0;
  std::multiset<std::string> tags;
};

Archive ReadArchive(const std::string& dir) {
  Archive archive;
  for (const auto& e : fs::directory_iterator(dir)) {
    const std::string name = e.path().filename().string();
    if (name.rfind("TCP_COMx_", 0) == 0) {
      ++archive.raw;
    } else if (name.rfind("TCP_COM_", 0) == 0) {
      archive.tags.insert(Attribute(ReadWholeFile(e.path().string()), "tag"));
    }
  }
  return archive;
}

// Sends a COM frame with `tag` and reads its answer: true for an INF with
// that tag.
bool Exchange(TcpClient& client, const std::string& tag,
              milliseconds timeout = kTimeout) {
  if (!client.Send(Frame(Message(tag, "COM")))) return false;
  const auto reply = ReadReply(client, timeout);
  return reply && reply->Type() == "INF" && reply->Tag() == tag;
}

TEST(SeveralGatewaysTest, RecipeIsAValidConfiguration) {
  KVX_REQUIRE_BALANCER();
  TempDir dir("kvx-recipe");
  const std::string rewritten = dir.path() + "/haproxy.cfg";
  std::ofstream(rewritten) << BalancerConfig(BalancerRecipe(), 9200,
                                             {9201, 9202}, true);
  // -c only reads the file: it binds nothing and starts nothing.
  for (const std::string& path :
       {std::string(KVX_BALANCER_RECIPE), rewritten}) {
    const RunResult r = RunProgram(BalancerProgram(), {"-c", "-f", path});
    EXPECT_EQ(r.exit_status, 0) << path << "\n" << r.out << r.err;
  }
}

TEST(SeveralGatewaysTest, ClientsAreAnsweredThroughTheBalancer) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  KVX_REQUIRE_BALANCER();
  ServiceProcess gw1("gw1");
  ServiceProcess gw2("gw2");
  const std::uint16_t p1 = gw1.StartListening(GatewaySettings());
  const std::uint16_t p2 = gw2.StartListening(GatewaySettings());
  ASSERT_NE(p1, 0);
  ASSERT_NE(p2, 0);
  const std::uint16_t front = FreeTcpPort();
  BalancerProcess balancer;
  ASSERT_TRUE(balancer.Start(BalancerConfig(BalancerRecipe(), front, {p1, p2},
                                            kGatewaysReadProxyHeader),
                             front));

  // Connected one after the other while the earlier ones stay open, so the
  // least-connections rule gives each gateway two.
  const std::vector<std::string> from = {"127.0.0.2", "127.0.0.3", "127.0.0.2",
                                         "127.0.0.3"};
  std::vector<std::unique_ptr<TcpClient>> clients;
  std::set<std::string> client_ids;
  for (const auto& address : from) {
    clients.push_back(std::make_unique<TcpClient>(front, address));
    ASSERT_TRUE(clients.back()->connected()) << address;
    client_ids.insert(clients.back()->PeerId());
  }
  constexpr int kRounds = 10;
  std::set<std::string> sent;
  for (int round = 0; round < kRounds; ++round) {
    for (std::size_t i = 0; i < clients.size(); ++i) {
      const std::string tag = std::to_string(100 * (i + 1) + round);
      EXPECT_TRUE(Exchange(*clients[i], tag)) << "tag " << tag;
      sent.insert(tag);
    }
  }
  for (auto& c : clients) c->Close();

  const int total = kRounds * static_cast<int>(clients.size());
  for (ServiceProcess* gw : {&gw1, &gw2}) {
    const std::string logs = gw->dir() + "KvxTCPIP/Logs";
    // Frames received, counted by their EOT, whatever the reads were.
    std::vector<TrafficRecord> received;
    const auto frames = [&received] {
      std::size_t n = 0;
      for (const auto& r : received)
        n += std::count(r.data.begin(), r.data.end(), '\x04');
      return static_cast<int>(n);
    };
    WaitFor([&] {
      received.clear();
      for (const auto& r : ReadTrafficLog(logs)) {
        if (r.kind == "Recv") received.push_back(r);
      }
      return frames() == total / 2;
    });
    EXPECT_EQ(frames(), total / 2) << gw->dir();
    for (const auto& r : received) {
      if (kGatewaysReadProxyHeader) {
        EXPECT_TRUE(client_ids.count(r.id)) << r.id << " is no client";
      } else {
        EXPECT_EQ(r.id.rfind("127.0.0.1:", 0), 0u) << r.id;
      }
    }
  }

  // Every frame is archived once, in one of the two directories.
  const Archive a1 = ReadArchive(ArchiveDir(gw1));
  const Archive a2 = ReadArchive(ArchiveDir(gw2));
  EXPECT_EQ(a1.raw + a2.raw, total);
  std::multiset<std::string> tags = a1.tags;
  tags.insert(a2.tags.begin(), a2.tags.end());
  EXPECT_EQ(tags, std::multiset<std::string>(sent.begin(), sent.end()));
  EXPECT_TRUE(balancer.Stop());
}

// One client of the failover test: sends its frames one at a time and,
// when the connection drops or an answer does not come, connects again and
// sends the unanswered frame again.
struct FailoverClient {
  std::string from;
  int first_tag = 0;
  int frames = 0;
  std::vector<std::string> answered;
  int reconnects = 0;

  void Run(std::uint16_t port, std::atomic<int>& total) {
    const auto deadline = std::chrono::steady_clock::now() + 4 * kTimeout;
    auto client = std::make_unique<TcpClient>(port, from);
    for (int i = 0; i < frames;) {
      if (std::chrono::steady_clock::now() > deadline) return;
      const std::string tag = std::to_string(first_tag + i);
      if (client->connected() && Exchange(*client, tag, milliseconds(5000))) {
        answered.push_back(tag);
        ++total;
        ++i;
        continue;
      }
      ++reconnects;
      client = std::make_unique<TcpClient>(port, from);
    }
  }
};

TEST(SeveralGatewaysTest,
     KilledGatewaysClientsReconnectAndNoAnsweredFrameIsLost) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  KVX_REQUIRE_BALANCER();
  ServiceProcess gw1("gw1");
  ServiceProcess gw2("gw2");
  const std::uint16_t p1 = gw1.StartListening(GatewaySettings());
  const std::uint16_t p2 = gw2.StartListening(GatewaySettings());
  ASSERT_NE(p1, 0);
  ASSERT_NE(p2, 0);
  const std::uint16_t front = FreeTcpPort();
  BalancerProcess balancer;
  ASSERT_TRUE(balancer.Start(BalancerConfig(BalancerRecipe(), front, {p1, p2},
                                            kGatewaysReadProxyHeader),
                             front));

  constexpr int kFrames = 60;
  std::vector<FailoverClient> clients;
  for (int i = 0; i < 4; ++i) {
    clients.push_back(
        {"127.0.0." + std::to_string(2 + i), 1000 * (i + 1), kFrames, {}, 0});
  }
  std::atomic<int> total{0};
  std::vector<std::thread> threads;
  for (auto& c : clients) {
    threads.emplace_back([&c, front, &total] { c.Run(front, total); });
  }
  // A third of the load answered, then one gateway dies.
  ASSERT_TRUE(WaitFor([&] { return total >= kFrames * 4 / 3; }));
  gw1.Signal(SIGKILL);
  EXPECT_EQ(gw1.WaitForExit(), 128 + SIGKILL);
  for (auto& t : threads) t.join();

  int reconnects = 0;
  std::multiset<std::string> archived = ReadArchive(ArchiveDir(gw1)).tags;
  const Archive a2 = ReadArchive(ArchiveDir(gw2));
  archived.insert(a2.tags.begin(), a2.tags.end());
  for (const auto& c : clients) {
    EXPECT_EQ(static_cast<int>(c.answered.size()), kFrames) << c.from;
    reconnects += c.reconnects;
    // Answered means archived: a resent frame may be there twice, never
    // not at all.
    for (const auto& tag : c.answered) {
      EXPECT_GE(archived.count(tag), 1u) << "tag " << tag << " of " << c.from;
    }
  }
  EXPECT_GT(reconnects, 0) << "no client lost its gateway";
  EXPECT_TRUE(balancer.Stop());
}

// Two instances given one OutputDirectory, answering at the same time with
// counters that both start at 1: no file of one replaces a file of the
// other, so the directory holds a raw and a decoded file per answer.
TEST(SeveralGatewaysTest, TwoInstancesOnOneOutputDirectoryReplaceNoFile) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  TempDir shared("kvx-shared-archive");
  ServiceProcess gw1("gw1");
  ServiceProcess gw2("gw2");
  const std::uint16_t p1 =
      gw1.StartListening({{"OutputDirectory", shared.path()}});
  const std::uint16_t p2 =
      gw2.StartListening({{"OutputDirectory", shared.path()}});
  ASSERT_NE(p1, 0);
  ASSERT_NE(p2, 0);

  constexpr int kFrames = 40;
  std::atomic<int> answered{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    const std::uint16_t port = i % 2 == 0 ? p1 : p2;
    threads.emplace_back([port, i, &answered] {
      TcpClient client(port);
      for (int n = 0; n < kFrames && client.connected(); ++n) {
        if (Exchange(client, std::to_string(1000 * (i + 1) + n))) ++answered;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(answered, 4 * kFrames);

  const Archive archive = ReadArchive(shared.path());
  EXPECT_EQ(archive.raw, answered);
  EXPECT_EQ(static_cast<int>(archive.tags.size()), answered.load());
  std::set<std::string> distinct(archive.tags.begin(), archive.tags.end());
  EXPECT_EQ(distinct.size(), archive.tags.size()) << "a decoded file twice";
}

}  // namespace
}  // namespace kvx::e2e
