// Faults under the running program: an archive directory that goes away, a
// full disk, a file size limit, a kill during load and an event log that
// cannot be written. Frames are acknowledged only once archived, and the
// service recovers and goes on serving.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>
#include <tuple>

#include "e2e/exchange.h"
#include "e2e/harness.h"
#include "e2e/operator_texts.h"

namespace kvx::e2e {
namespace {

namespace fs = std::filesystem;

// Long enough for a few retries of a failed frame step (one a second).
constexpr milliseconds kNoReplyWait{2500};

// Starts the service on a free port and waits until it listens.
std::uint16_t StartService(ServiceProcess& service,
                           const Environment& env = {}) {
  const std::uint16_t port = FreeTcpPort();
  service.WriteFile(
      "KvxTCPConfig.xml",
      ConfigWith(service.dir(), {{"Port", std::to_string(port)}}));
  service.Start({}, env);
  EXPECT_TRUE(service.WaitForEvent(ListenerStartedText("127.0.0.1", port)));
  return port;
}

// Waits for an entry that starts with `prefix`, written after the first
// `skip` entries.
bool WaitForEntryStarting(ServiceProcess& service, const std::string& prefix,
                          std::size_t skip = 0) {
  return WaitFor([&] {
    const auto texts = service.Texts();
    for (std::size_t i = skip; i < texts.size(); ++i) {
      if (texts[i].rfind(prefix, 0) == 0) return true;
    }
    return false;
  });
}

// The decoded archive files by tag: file name -> content.
std::map<std::string, std::map<std::string, std::string>> DecodedByTag(
    const std::string& dir) {
  std::map<std::string, std::map<std::string, std::string>> out;
  for (const auto& entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("TCP_COM_", 0) != 0 && name.rfind("TCP_DIV_", 0) != 0) {
      continue;
    }
    const std::string content = ReadWholeFile(entry.path().string());
    out[Attribute(content, "tag")][name] = content;
  }
  return out;
}

// Sends a COM and a POS frame, expects no answer while the archive fails,
// then lets `repair` run and expects both answered, in order, and archived.
class HeldFrames {
 public:
  HeldFrames(std::uint16_t port, const std::string& prefix)
      : client_(port), com_(prefix + "c"), pos_(prefix + "p") {}

  void Send() {
    ASSERT_TRUE(client_.connected());
    ASSERT_TRUE(client_.Send(Frame(Message(com_, "COM")) +
                             Frame(Message(pos_, "POS"))));
  }

  void SendAndExpectNoReply() {
    Send();
    EXPECT_EQ(client_.ReadExactly(1, kNoReplyWait), "")
        << "answered while the archive cannot be written";
  }

  void ExpectAnsweredAndArchived(const std::string& xml) {
    const auto inf = ReadReply(client_);
    ASSERT_TRUE(inf && !inf->nak);
    EXPECT_EQ(inf->Type(), "INF");
    EXPECT_EQ(inf->Tag(), com_);
    const auto ack = ReadReply(client_);
    ASSERT_TRUE(ack && !ack->nak);
    EXPECT_EQ(ack->Type(), "ACK");
    EXPECT_EQ(ack->Tag(), pos_);
    const auto archives = DecodedByTag(xml);
    for (const auto& [tag, type] : {std::pair{com_, "COM"}, {pos_, "POS"}}) {
      const auto it = archives.find(tag);
      ASSERT_NE(it, archives.end()) << tag;
      ASSERT_EQ(it->second.size(), 1u) << tag;
      EXPECT_EQ(it->second.begin()->second, Message(tag, type) + "\r\n");
    }
  }

 private:
  TcpClient client_;
  const std::string com_;
  const std::string pos_;
};

// Every archive file in `dir` holds at least its line end: none was left
// half written.
void ExpectNoEmptyArchives(const std::string& dir) {
  for (const auto& entry : fs::directory_iterator(dir)) {
    EXPECT_GT(fs::file_size(entry.path()), 0u) << entry.path();
  }
}

TEST(ServerFaultsTest, ArchiveDirectoryGoneHoldsRepliesUntilItIsBack) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  ServiceProcess service;
  const std::uint16_t port = StartService(service);
  const std::string xml = service.dir() + "KvxTCPIP/XML";

  fs::remove_all(xml);
  HeldFrames gone(port, "gone");
  gone.SendAndExpectNoReply();
  EXPECT_TRUE(WaitForEntryStarting(
      service, "Ontvanger: Cannot create file \"" + xml + "/TCP_COMx_"));

  // A regular file in its place fails the same way.
  std::ofstream(xml) << "not a directory";
  const std::size_t before = service.Texts().size();
  HeldFrames file(port, "file");
  file.SendAndExpectNoReply();
  EXPECT_TRUE(WaitForEntryStarting(
      service, "Ontvanger: Cannot create file \"" + xml + "/TCP_COMx_",
      before));

  fs::remove(xml);
  fs::create_directory(xml);
  gone.ExpectAnsweredAndArchived(xml);
  file.ExpectAnsweredAndArchived(xml);
  HeldFrames later(port, "later");
  later.Send();
  later.ExpectAnsweredAndArchived(xml);
  ExpectNoEmptyArchives(xml);

  service.Signal(SIGTERM);
  EXPECT_EQ(service.WaitForExit(), 0);
}

// Unmounts at the end of the test; lazily, since the service may still run.
struct Unmount {
  std::string path;
  ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
};

TEST(ServerFaultsTest, FullDiskHoldsRepliesUntilThereIsSpace) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  ServiceProcess service;
  const std::string xml = service.dir() + "KvxTCPIP/XML";
  fs::create_directories(xml);
  // A mount namespace of this test's own, inherited by the service.
  if (::unshare(CLONE_NEWNS) != 0 ||
      ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      ::mount("tmpfs", xml.c_str(), "tmpfs", 0, "size=64k") != 0) {
    GTEST_SKIP() << "cannot mount a small tmpfs here: " << std::strerror(errno);
  }
  Unmount unmount{xml};
  const std::uint16_t port = StartService(service);

  const std::string filler = xml + "/filler";
  {
    std::ofstream out(filler, std::ios::binary);
    const std::string block(4096, 'x');
    while (out.write(block.data(), block.size()) && out.flush()) {
    }
  }
  HeldFrames full(port, "full");
  full.SendAndExpectNoReply();
  EXPECT_TRUE(WaitForEntryStarting(
      service, "Ontvanger: Stream write error: No space left on device"));
  ExpectNoEmptyArchives(xml);

  fs::remove(filler);
  full.ExpectAnsweredAndArchived(xml);
  ExpectNoEmptyArchives(xml);
  EXPECT_TRUE(service.Running());
  service.Signal(SIGTERM);
  EXPECT_EQ(service.WaitForExit(), 0);
}

TEST(ServerFaultsTest, FileSizeLimitFailsTheWriteNotTheProcess) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  ServiceProcess service;
  // The service inherits the limit: no file may grow past 64 KiB.
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit limit = saved;
  limit.rlim_cur = 64 * 1024;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
  const std::uint16_t port = StartService(service);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &saved), 0);

  // Its raw archive would be larger than the limit: never answered. (The
  // traffic log passes the limit too, so later connections end at their
  // first record, as when the log cannot be opened.)
  TcpClient big(port);
  ASSERT_TRUE(big.Send(Frame(Message(std::string(70000, 'b'), "COM"))));
  EXPECT_TRUE(WaitForEntryStarting(
      service, "Ontvanger: Stream write error: File too large"));
  EXPECT_EQ(big.ReadExactly(1, kNoReplyWait), "");

  // Not ended by SIGXFSZ: it still answers the stop request.
  ASSERT_TRUE(service.Running());
  service.Signal(SIGTERM);
  EXPECT_EQ(service.WaitForExit(), 0);
}

TEST(ServerFaultsTest, KillDuringLoadLeavesEveryAnsweredFrameArchived) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  ServiceProcess service;
  const std::uint16_t port = StartService(service);

  constexpr int kClients = 10;
  std::mutex mutex;
  std::map<std::string, std::string> answered;  // tag -> message
  std::atomic<int> count{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kClients; ++i) {
    threads.emplace_back([&, i] {
      TcpClient client(port);
      for (int n = 0;; ++n) {
        const std::string tag =
            "k" + std::to_string(i) + "-" + std::to_string(n);
        const std::string message = Message(tag, n % 2 ? "COM" : "POS");
        if (!client.Send(Frame(message))) return;
        const auto reply = ReadReply(client);
        if (!reply || reply->Tag() != tag) return;  // the kill
        std::scoped_lock lock(mutex);
        answered[tag] = message;
        ++count;
      }
    });
  }
  WaitFor([&] { return count >= 300; });
  service.Signal(SIGKILL);
  EXPECT_EQ(service.WaitForExit(), 128 + SIGKILL);
  for (auto& t : threads) t.join();
  ASSERT_GE(answered.size(), 300u);

  const std::string xml = service.dir() + "KvxTCPIP/XML";
  const auto archives = DecodedByTag(xml);
  for (const auto& [tag, message] : answered) {
    const auto it = archives.find(tag);
    ASSERT_NE(it, archives.end()) << tag << " answered but not archived";
    ASSERT_EQ(it->second.size(), 1u) << tag;
    EXPECT_EQ(it->second.begin()->second, message + "\r\n") << tag;
  }

  service.Start();
  ASSERT_TRUE(service.WaitForEvent(ListenerStartedText("127.0.0.1", port)));
  TcpClient client(port);
  ASSERT_TRUE(client.Send(Frame(Message("again", "COM"))));
  const auto reply = ReadReply(client);
  ASSERT_TRUE(reply && !reply->nak);
  EXPECT_EQ(reply->Tag(), "again");
  service.Signal(SIGTERM);
  EXPECT_EQ(service.WaitForExit(), 0);
}

TEST(ServerFaultsTest, UnwritableEventLogDoesNotStopTheService) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  ServiceProcess service;
  TempDir other("kvx-events");
  const std::string not_a_directory = other.path() + "/file";
  std::ofstream(not_a_directory) << "x";
  const std::uint16_t port = FreeTcpPort();
  service.WriteFile(
      "KvxTCPConfig.xml",
      ConfigWith(service.dir(), {{"Port", std::to_string(port)}}));
  service.Start({}, {{"KVX_EVENT_LOG", not_a_directory + "/events.jsonl"}});

  TcpClient client(port);
  ASSERT_TRUE(client.connected());
  for (const auto& [tag, type, want] :
       {std::tuple{"e1", "COM", "INF"}, {"e2", "POS", "ACK"}}) {
    ASSERT_TRUE(client.Send(Frame(Message(tag, type))));
    const auto reply = ReadReply(client);
    ASSERT_TRUE(reply && !reply->nak) << tag;
    EXPECT_EQ(reply->Type(), want);
    EXPECT_EQ(reply->Tag(), tag);
  }
  service.Signal(SIGTERM);
  EXPECT_EQ(service.WaitForExit(), 0);
}

}  // namespace
}  // namespace kvx::e2e
