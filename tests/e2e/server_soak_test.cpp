// A bounded soak of the running program: 100 clients at once send valid
// frames of both kinds, refused frames and garbage, cut at random places,
// reset and reconnect. Every valid frame must be answered once, in order, on
// its own connection, and archived once; the process must not grow.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "e2e/exchange.h"
#include "e2e/harness.h"
#include "e2e/operator_texts.h"

namespace kvx::e2e {
namespace {

using std::chrono::seconds;
using SteadyClock = std::chrono::steady_clock;

constexpr int kClients = 100;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kDefaultSeconds = 20;
#else
constexpr int kDefaultSeconds = 30;
#endif

// KVX_SOAK_SECONDS sets the length of the run (for longer runs by hand).
seconds SoakDuration() {
  const char* text = std::getenv("KVX_SOAK_SECONDS");
  const int n = text != nullptr ? std::atoi(text) : 0;
  return seconds(n > 0 ? n : kDefaultSeconds);
}

// VmRSS of a process in KiB; 0 when it cannot be read.
long ResidentKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return 0;
}

enum class Kind { kCom, kOther, kTaglessCom, kNoStx };

struct Request {
  Kind kind;
  std::string tag;      // empty for the refused kinds
  std::string message;  // what the frame carries
  std::string bytes;    // what goes on the wire, garbage included
};

// What one client sent and had answered; written by its thread only.
struct Tally {
  std::map<std::string, std::string> answered;  // tag -> message
  std::map<std::string, Kind> kinds;            // tag -> kind
  int refused = 0;
  int resets = 0;
  std::vector<std::string> failures;
};

class SoakClient {
 public:
  SoakClient(int id, std::uint16_t port, Tally& tally)
      : id_(id),
        port_(port),
        rng_(static_cast<unsigned>(id) + 1),
        tally_(tally) {}

  void Run(SteadyClock::time_point deadline) {
    // The listener's backlog is 15: a burst of 100 connects would leave some
    // waiting for the system's SYN retries, seconds apart.
    std::this_thread::sleep_for(std::chrono::milliseconds(20 * id_));
    Connect();
    while (SteadyClock::now() < deadline && tally_.failures.empty()) {
      if (!client_->connected()) return Fail("cannot connect");
      std::vector<Request> batch;
      std::string stream;
      for (int n = Pick(1, 3); n > 0; --n) {
        batch.push_back(NextRequest());
        stream += batch.back().bytes;
      }
      if (!SendCut(stream)) return Fail("send failed");
      for (const Request& r : batch) {
        if (!CheckReply(r)) return;
      }
      const int roll = Pick(0, 99);
      if (roll < 5) {
        // Half a frame, then a reset: nothing of it may be answered.
        const std::string half = Frame(Message("lost", "COM"));
        client_->Send(
            half.substr(0, Pick(1, static_cast<int>(half.size()) - 2)));
        client_->Reset();
        ++tally_.resets;
        Connect();
      } else if (roll < 10) {
        client_->Close();
        Connect();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(Pick(300, 900)));
    }
  }

 private:
  int Pick(int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(rng_);
  }
  void Connect() { client_ = std::make_unique<TcpClient>(port_); }
  void Fail(const std::string& what) {
    tally_.failures.push_back("client " + std::to_string(id_) + ": " + what +
                              " (request " + std::to_string(next_) + ")");
  }

  Request NextRequest() {
    const int roll = Pick(0, 99);
    const std::string tag =
        "s" + std::to_string(id_) + "-" + std::to_string(next_++);
    Request r;
    if (roll < 40) {
      r = {Kind::kCom, tag, Message(tag, "COM"), {}};
    } else if (roll < 80) {
      r = {Kind::kOther, tag, Message(tag, "POS"), {}};
    } else if (roll < 90) {
      r = {Kind::kTaglessCom, {}, "<MSG type=\"COM\"></MSG>", {}};
    } else {
      r = {Kind::kNoStx, {}, {}, "\x01no length\x04"};
      return r;
    }
    r.bytes = Frame(r.message);
    if (Pick(0, 4) == 0) {
      // Garbage before the frame: any byte but SOH, EOT and NUL.
      std::string garbage;
      for (int n = Pick(1, 40); n > 0; --n) {
        char c;
        do {
          c = static_cast<char>(Pick(0, 255));
        } while (c == '\x00' || c == '\x01' || c == '\x04');
        garbage += c;
      }
      r.bytes = garbage + r.bytes;
    }
    return r;
  }

  // Whole, byte by byte, or cut at random places.
  bool SendCut(const std::string& stream) {
    const int mode = Pick(0, 9);
    if (mode < 5) return client_->Send(stream);
    std::size_t at = 0;
    while (at < stream.size()) {
      const std::size_t n =
          mode < 7 ? 1 : static_cast<std::size_t>(Pick(1, 60));
      if (!client_->Send(stream.substr(at, n))) return false;
      at += n;
    }
    return true;
  }

  bool CheckReply(const Request& r) {
    const auto reply = ReadReply(*client_);
    if (!reply) {
      Fail("no well-formed reply for " +
           (r.tag.empty() ? "a refused frame" : "tag " + r.tag));
      return false;
    }
    if (r.tag.empty()) {
      if (!reply->nak) Fail("a refused frame got " + reply->message);
      ++tally_.refused;
      return reply->nak;
    }
    const std::string want = r.kind == Kind::kCom ? "INF" : "ACK";
    if (reply->nak || reply->Tag() != r.tag || reply->Type() != want) {
      Fail("tag " + r.tag + " wanted " + want + ", got " +
           (reply->nak ? "NAK" : reply->message));
      return false;
    }
    tally_.answered[r.tag] = r.message;
    tally_.kinds[r.tag] = r.kind;
    return true;
  }

  const int id_;
  const std::uint16_t port_;
  std::mt19937 rng_;
  Tally& tally_;
  std::unique_ptr<TcpClient> client_;
  int next_ = 0;
};

// Tag -> (file name, content) of every decoded archive file with a tag.
std::map<std::string, std::vector<std::pair<std::string, std::string>>>
DecodedArchives(const std::string& dir) {
  std::map<std::string, std::vector<std::pair<std::string, std::string>>> out;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("TCP_COM_", 0) != 0 && name.rfind("TCP_DIV_", 0) != 0) {
      continue;
    }
    std::string content = ReadWholeFile(entry.path().string());
    const std::string tag = Attribute(content, "tag");
    if (!tag.empty()) out[tag].emplace_back(name, std::move(content));
  }
  return out;
}

TEST(ServerSoakTest, HundredClientsAreAnsweredArchivedAndMemoryStaysFlat) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  ServiceProcess service;
  const std::uint16_t port = FreeTcpPort();
  service.WriteFile(
      "KvxTCPConfig.xml",
      ConfigWith(service.dir(), {{"Port", std::to_string(port)}}));
  // A small quarantine keeps the address sanitizer's own memory flat.
  const char* asan = std::getenv("ASAN_OPTIONS");
  service.Start({}, {{"ASAN_OPTIONS", std::string(asan ? asan : "") +
                                          ":quarantine_size_mb=16"}});
  ASSERT_TRUE(service.WaitForEvent(ListenerStartedText("127.0.0.1", port)));

  const seconds duration = SoakDuration();
  const auto start = SteadyClock::now();
  std::vector<Tally> tallies(kClients);
  std::vector<std::thread> threads;
  for (int i = 0; i < kClients; ++i) {
    threads.emplace_back(
        [&, i] { SoakClient(i, port, tallies[i]).Run(start + duration); });
  }
  std::this_thread::sleep_until(start + duration / 3);
  const long warm_kib = ResidentKiB(service.pid());
  for (auto& t : threads) t.join();
  const long end_kib = ResidentKiB(service.pid());

  std::map<std::string, std::string> answered;
  std::map<std::string, Kind> kinds;
  int refused = 0;
  int resets = 0;
  for (const Tally& t : tallies) {
    for (const auto& f : t.failures) ADD_FAILURE() << f;
    answered.insert(t.answered.begin(), t.answered.end());
    kinds.insert(t.kinds.begin(), t.kinds.end());
    refused += t.refused;
    resets += t.resets;
  }
  ASSERT_TRUE(service.Running());
  EXPECT_GT(answered.size(), 1000u);
  EXPECT_GT(refused, 100);
  EXPECT_GT(resets, 20);

  // Each answered message archived exactly once, whole, as its kind; no
  // message archived that was not answered.
  const auto archives = DecodedArchives(service.dir() + "KvxTCPIP/XML");
  std::size_t ours = 0;
  for (const auto& [tag, files] : archives) ours += tag != "lost";
  EXPECT_EQ(ours, answered.size());
  for (const auto& [tag, message] : answered) {
    const auto it = archives.find(tag);
    if (it == archives.end() || it->second.size() != 1) {
      ADD_FAILURE() << "tag " << tag << " archived "
                    << (it == archives.end() ? 0 : it->second.size())
                    << " times";
      continue;
    }
    const auto& [name, content] = it->second.front();
    EXPECT_EQ(name.substr(0, 8),
              kinds[tag] == Kind::kCom ? "TCP_COM_" : "TCP_DIV_")
        << tag;
    EXPECT_EQ(content, message + "\r\n") << name;
  }

  // Each answered message unpacked as often as its kind is: four times a
  // COM message with archiving on, once any other.
  std::map<std::string, int> unpacks;
  for (const auto& text : service.Texts()) {
    if (text.rfind(kReceived, 0) != 0) continue;
    const std::string tag = Attribute(text, "tag");
    if (answered.count(tag)) ++unpacks[tag];
  }
  for (const auto& [tag, kind] : kinds) {
    EXPECT_EQ(unpacks[tag], kind == Kind::kCom ? 4 : 1) << tag;
  }

  EXPECT_GT(warm_kib, 0);
  EXPECT_LE(end_kib, warm_kib + 32 * 1024)
      << "resident memory grew from " << warm_kib << " KiB to " << end_kib
      << " KiB";

  service.Signal(SIGTERM);
  EXPECT_EQ(service.WaitForExit(), 0);
}

}  // namespace
}  // namespace kvx::e2e
