// The archive trail of the running program: no file is ever replaced, a
// reader never sees a partial file, a kill leaves whole files and no
// temporary ones, and ArchiveSync really syncs.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "e2e/exchange.h"
#include "e2e/harness.h"
#include "e2e/operator_texts.h"

namespace kvx::e2e {
namespace {

namespace fs = std::filesystem;

std::uint16_t StartService(ServiceProcess& service,
                           std::map<std::string, std::string> settings = {}) {
  const std::uint16_t port = FreeTcpPort();
  settings["Port"] = std::to_string(port);
  service.WriteFile("KvxTCPConfig.xml", ConfigWith(service.dir(), settings));
  service.Start();
  EXPECT_TRUE(service.WaitForEvent(ListenerStartedText("127.0.0.1", port)));
  return port;
}

struct ArchiveCount {
  int raw = 0, decoded = 0, other = 0;
  std::set<std::string> tags;  // of the decoded files
};

ArchiveCount CountArchives(const std::string& dir) {
  ArchiveCount count;
  for (const auto& e : fs::directory_iterator(dir)) {
    const std::string name = e.path().filename().string();
    if (name.rfind("TCP_COMx_", 0) == 0) {
      ++count.raw;
    } else if (name.rfind("TCP_COM_", 0) == 0 ||
               name.rfind("TCP_DIV_", 0) == 0) {
      ++count.decoded;
      count.tags.insert(Attribute(ReadWholeFile(e.path().string()), "tag"));
    } else {
      ++count.other;
    }
  }
  return count;
}

// `clients` connections each send `frames` COM frames with up to
// `outstanding` unanswered; returns the number of frames answered.
int RunLoad(std::uint16_t port, int clients, int frames, int outstanding) {
  // Connected one after the other: the listener's backlog is short.
  std::vector<std::unique_ptr<TcpClient>> connections;
  for (int c = 0; c < clients; ++c) {
    connections.push_back(std::make_unique<TcpClient>(port));
    if (!connections.back()->connected()) return 0;
  }
  std::atomic<int> answered{0};
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      TcpClient& client = *connections[c];
      int sent = 0;
      const auto send = [&] {
        return client.Send(Frame(Message(
            "c" + std::to_string(c) + "-" + std::to_string(sent++), "COM")));
      };
      while (sent < std::min(outstanding, frames)) {
        if (!send()) return;
      }
      for (int got = 0; got < frames; ++got) {
        const auto reply = ReadReply(client);
        if (!reply || reply->nak) return;
        ++answered;
        if (sent < frames && !send()) return;
      }
    });
  }
  for (auto& t : threads) t.join();
  return answered;
}

// Archiving off: every frame of one second keeps its raw file.
TEST(ArchiveTrailTest, ArchivingOffTwentyFramesInOneSecondLeaveTwentyFiles) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  ServiceProcess service;
  const std::uint16_t port = StartService(service, {{"OutputToFile", "False"}});
  TcpClient client(port);
  std::string all;
  for (int i = 0; i < 20; ++i) all += Frame(Message(std::to_string(i), "COM"));
  ASSERT_TRUE(client.Send(all));
  for (int i = 0; i < 20; ++i) {
    const auto reply = ReadReply(client);
    ASSERT_TRUE(reply && !reply->nak) << i;
  }
  const ArchiveCount count = CountArchives(service.dir() + "KvxTCPIP/XML");
  EXPECT_EQ(count.raw, 20);
  EXPECT_EQ(count.decoded, 0);
  EXPECT_EQ(count.other, 0);
  EXPECT_TRUE(service.Stop());
}

// Files of an earlier run (or another instance) under the names of the
// coming seconds are left as they are; the frames take other numbers.
TEST(ArchiveTrailTest, SeededFilesOfTheNextSecondsAreLeftUntouched) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  ServiceProcess service;
  const std::string xml = service.dir() + "KvxTCPIP/XML/";
  fs::create_directories(xml);
  std::map<std::string, std::string> seeded;
  const std::time_t now = std::time(nullptr);
  for (int s = 0; s < 8; ++s) {
    const std::time_t t = now + s;
    std::tm tm{};
    localtime_r(&t, &tm);
    char stamp[128];
    std::snprintf(stamp, sizeof stamp, "%02d%02d%04d%02d%02d%02d%d%d",
                  tm.tm_mday, tm.tm_mon + 1, tm.tm_year + 1900, tm.tm_hour,
                  tm.tm_min, tm.tm_sec, tm.tm_mon + 1, tm.tm_sec);
    for (int n = 1; n <= 3; ++n) {
      const std::string suffix = std::string(stamp) + "_" + std::to_string(n);
      seeded["TCP_COMx_" + suffix + ".TXT"] = "seed raw " + suffix;
      seeded["TCP_COM_" + suffix + ".XML"] = "seed com " + suffix;
    }
  }
  for (const auto& [name, content] : seeded) {
    service.WriteFile("KvxTCPIP/XML/" + name, content);
  }
  const std::uint16_t port = StartService(service);
  TcpClient client(port);
  std::set<std::string> tags;
  for (int i = 0; i < 30; ++i) {
    const std::string tag = "s" + std::to_string(i);
    ASSERT_TRUE(client.Send(Frame(Message(tag, "COM"))));
    const auto reply = ReadReply(client);
    ASSERT_TRUE(reply && !reply->nak);
    tags.insert(tag);
    std::this_thread::sleep_for(milliseconds(60));
  }
  for (const auto& [name, content] : seeded) {
    EXPECT_EQ(ReadWholeFile(xml + name), content) << name;
  }
  const ArchiveCount count = CountArchives(xml);
  EXPECT_EQ(count.raw, static_cast<int>(seeded.size() / 2 + 30));
  for (const auto& tag : tags) EXPECT_TRUE(count.tags.count(tag)) << tag;
  EXPECT_TRUE(service.Stop());
}

// A reader that reads every file as soon as it appears never finds one
// incomplete; a load with several outstanding frames per connection leaves
// exactly one raw and one decoded file per frame.
TEST(ArchiveTrailTest, AReaderNeverSeesAnIncompleteFileUnderLoad) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  ServiceProcess service;
  const std::uint16_t port = StartService(service);
  const std::string xml = service.dir() + "KvxTCPIP/XML";
  std::atomic<bool> done{false};
  std::atomic<int> read{0};
  std::vector<std::string> incomplete;
  std::thread reader([&] {
    std::set<std::string> seen;
    while (!done) {
      for (const auto& e : fs::directory_iterator(xml)) {
        const std::string name = e.path().filename().string();
        if (!seen.insert(name).second) continue;
        const std::string content = ReadWholeFile(e.path().string());
        const bool decoded = name.rfind("TCP_COMx_", 0) != 0;
        const bool whole =
            content.size() >= 2 &&
            content.substr(content.size() - 2) == "\r\n" &&
            (!decoded || content.find("</MSG>\r\n") != std::string::npos);
        if (!whole) incomplete.push_back(name + ": " + content);
        ++read;
      }
    }
  });
  constexpr int kClients = 50, kFrames = 40;
  EXPECT_EQ(RunLoad(port, kClients, kFrames, 4), kClients * kFrames);
  done = true;
  reader.join();
  EXPECT_TRUE(incomplete.empty()) << incomplete.front();
  EXPECT_GT(read, 0);
  const ArchiveCount count = CountArchives(xml);
  EXPECT_EQ(count.raw, kClients * kFrames);
  EXPECT_EQ(count.decoded, kClients * kFrames);
  EXPECT_EQ(count.tags.size(), static_cast<std::size_t>(kClients * kFrames));
  EXPECT_EQ(count.other, 0);
  EXPECT_TRUE(service.Stop());
}

// A kill during load leaves only whole files; temporary files left over
// (from a file system without unnamed files) go at the next start.
TEST(ArchiveTrailTest, KillDuringLoadLeavesWholeFilesAndNoTemporaryOnes) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  ServiceProcess service;
  const std::uint16_t port = StartService(service);
  const std::string xml = service.dir() + "KvxTCPIP/XML";
  std::thread load([&] { RunLoad(port, 20, 1000000, 4); });
  ASSERT_TRUE(WaitFor([&] { return CountArchives(xml).raw > 500; }));
  service.Signal(SIGKILL);
  EXPECT_EQ(service.WaitForExit(), 128 + SIGKILL);
  load.join();
  for (const auto& e : fs::directory_iterator(xml)) {
    const std::string content = ReadWholeFile(e.path().string());
    EXPECT_EQ(content.substr(content.size() - 2), "\r\n") << e.path();
  }
  service.WriteFile("KvxTCPIP/XML/.kvx-tmp-99999-0", "<MSG tag=");
  service.Start();
  ASSERT_TRUE(service.WaitForEvent(ListenerStartedText("127.0.0.1", port)));
  EXPECT_EQ(CountArchives(xml).other, 0);
  EXPECT_TRUE(service.Stop());
  bool reported = false;
  for (const auto& text : service.Texts()) {
    reported |= text.find("1 onvolledige tijdelijke bestanden verwijderd") !=
                std::string::npos;
  }
  EXPECT_TRUE(reported);
}

// ArchiveSync True: frames are answered and archived, and the syncs are
// really issued (the stop entry counts them).
TEST(ArchiveTrailTest, ArchiveSyncIssuesTheSyncs) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  ServiceProcess service;
  const std::uint16_t port = StartService(service);
  ASSERT_TRUE(service.Stop());
  std::string config = service.ReadFile("KvxTCPConfig.xml");
  config.replace(config.find("</Output>"), 9,
                 "<ArchiveSync>True</ArchiveSync></Output>");
  service.WriteFile("KvxTCPConfig.xml", config);
  service.Start();
  ASSERT_TRUE(service.WaitForEvent(ListenerStartedText("127.0.0.1", port)));
  EXPECT_EQ(RunLoad(port, 5, 20, 2), 100);
  ASSERT_TRUE(service.Stop());
  std::uint64_t syncs = 0;
  for (const auto& text : service.Texts()) {
    const std::string prefix =
        "Kavero TCP/IP server heeft de archiefbestanden ";
    if (text.rfind(prefix, 0) == 0)
      syncs = std::stoull(text.substr(prefix.size()));
  }
  // One commit per batch: at least one, at most one per frame.
  EXPECT_GE(syncs, 1u);
  EXPECT_LE(syncs, 100u);
}

}  // namespace
}  // namespace kvx::e2e
