// The watchdog thread against a stand-in for systemd's notification socket:
// pings at half the interval, none while an archive write hangs, and again
// once it finishes.
#include "service/watchdog.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "core/event_log.h"
#include "core/settings.h"
#include "fakes/mem_file_system.h"
#include "fakes/notify_socket.h"
#include "fakes/recording_event_sink.h"
#include "fakes/temp_dir.h"
#include "platform/clock.h"
#include "platform/service_notifier.h"
#include "server/message_archive.h"
#include "service/liveness.h"

namespace kvx {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// An in-memory file system whose file writes wait while the gate is shut:
// an archive write that hangs on a stuck disk.
class GatedFileSystem final : public FileSystem {
 public:
  bool DirectoryExists(const std::string& p) override {
    return mem_.DirectoryExists(p);
  }
  bool CreateDirectory(const std::string& p) override {
    return mem_.CreateDirectory(p);
  }
  bool FileExists(const std::string& p) override { return mem_.FileExists(p); }
  void WriteFile(const std::string& p, std::string_view bytes) override {
    WaitUntilOpen();
    mem_.WriteFile(p, bytes);
  }
  std::string ReadFile(const std::string& p) override {
    return mem_.ReadFile(p);
  }
  std::unique_ptr<AppendFile> OpenAppend(const std::string& p) override {
    return mem_.OpenAppend(p);
  }
  bool CreateNew(const std::string& p, std::string_view bytes,
                 SyncBatch* batch) override {
    WaitUntilOpen();
    return mem_.CreateNew(p, bytes, batch);
  }
  std::unique_ptr<SyncBatch> NewSyncBatch() override {
    return mem_.NewSyncBatch();
  }
  void Sync(SyncBatch& batch) override { mem_.Sync(batch); }
  std::uint64_t SyncCount() const override { return mem_.SyncCount(); }
  std::vector<DirectoryEntry> ListFiles(const std::string& p) override {
    return mem_.ListFiles(p);
  }
  int RemoveFile(const std::string& p) override { return mem_.RemoveFile(p); }
  std::optional<std::uint64_t> FreeBytes(const std::string& p) override {
    return mem_.FreeBytes(p);
  }
  void SetOpen(bool open) {
    {
      std::scoped_lock lock(mutex_);
      open_ = open;
    }
    open_changed_.notify_all();
  }
  MemFileSystem mem_;

 private:
  void WaitUntilOpen() {
    std::unique_lock lock(mutex_);
    open_changed_.wait(lock, [this] { return open_; });
  }

  std::mutex mutex_;
  std::condition_variable open_changed_;
  bool open_ = true;
};

// The arrival times of the pings until `until`; other datagrams are kept.
struct Received {
  std::vector<Clock::time_point> pings;
  std::vector<std::string> others;
};
Received ReceiveUntil(NotifySocket& systemd, Clock::time_point until) {
  Received r;
  for (auto now = Clock::now(); now < until; now = Clock::now()) {
    const std::string d = systemd.Receive(
        std::chrono::duration_cast<std::chrono::milliseconds>(until - now) +
        1ms);
    if (d.empty()) continue;
    if (d == "WATCHDOG=1") {
      r.pings.push_back(Clock::now());
    } else {
      r.others.push_back(d);
    }
  }
  return r;
}

bool HasEntry(RecordingEventSink& sink, const std::string& prefix) {
  for (const auto& text : sink.Texts()) {
    if (text.rfind(prefix, 0) == 0) return true;
  }
  return false;
}

TEST(WatchdogTest, PingsOnlyWhileTheArchiveThreadMoves) {
  TempDir dir;
  NotifySocket systemd(dir.path() + "/notify");
  GatedFileSystem files;
  files.mem_.AddDirectory("/xml");
  Settings settings;
  settings.FOutputDirectory = "/xml";
  settings.FOutputToFile = "True";
  SystemClock clock;
  MessageArchive archive(settings, files, clock);
  ArchiveWriter writer(archive);
  WorkerProgress service;  // idle throughout

  constexpr auto kInterval = 400ms;
  constexpr auto kPeriod = kInterval / 2;
  Liveness liveness(clock, kInterval.count());
  liveness.Watch("de service thread", service);
  liveness.Watch("de archief thread", writer.progress());
  RecordingEventSink sink;
  EventLog events(sink);
  SdWatchdogNotifier notifier;
  Watchdog watchdog(
      liveness, notifier, events, [] { return "running"; }, kPeriod);

  // Idle: a ping every period, not faster.
  Received idle = ReceiveUntil(systemd, Clock::now() + 5 * kPeriod);
  ASSERT_GE(idle.pings.size(), 2u);
  for (std::size_t i = 1; i < idle.pings.size(); ++i) {
    EXPECT_GE(idle.pings[i] - idle.pings[i - 1], kPeriod / 2) << i;
  }

  // An archive write that hangs: the pings stop once it has been busy for
  // longer than the interval, with an entry and a status line that say so.
  files.SetOpen(false);
  std::mutex done_mutex;
  std::condition_variable done_cv;
  bool done = false;
  writer.Submit(ArchiveRequest{"raw", ArchiveKind::kCom, "<MSG/>"},
                [&](ArchiveOutcome) {
                  std::scoped_lock lock(done_mutex);
                  done = true;
                  done_cv.notify_all();
                });
  const auto stuck_at = Clock::now();
  const std::string held = std::string(kWatchdogHeld) + "de archief thread";
  std::vector<std::string> status;
  while (status.empty() && Clock::now() < stuck_at + 10s) {
    status = ReceiveUntil(systemd, Clock::now() + kPeriod).others;
  }
  ASSERT_EQ(status.size(), 1u);
  EXPECT_EQ(
      status[0].rfind("STATUS=running (watchdog: de archief thread is al ", 0),
      0u)
      << status[0];
  EXPECT_TRUE(HasEntry(sink, held));
  // The checks compare samples a period apart, so a write that began just
  // after one is counted from that sample: held after the interval less at
  // most one period.
  EXPECT_GE(Clock::now() - stuck_at, kInterval - kPeriod);
  // A ping sent before the check that found the stall may still be queued.
  ReceiveUntil(systemd, Clock::now() + 10ms);
  Received stuck = ReceiveUntil(systemd, Clock::now() + 4 * kInterval);
  EXPECT_TRUE(stuck.pings.empty()) << stuck.pings.size() << " pings";
  EXPECT_TRUE(stuck.others.empty());

  // The write finishes: pings resume, and the state is shown again.
  files.SetOpen(true);
  {
    std::unique_lock lock(done_mutex);
    ASSERT_TRUE(done_cv.wait_for(lock, 10s, [&] { return done; }));
  }
  Received after = ReceiveUntil(systemd, Clock::now() + 5 * kPeriod);
  EXPECT_GE(after.pings.size(), 1u);
  EXPECT_TRUE(HasEntry(sink, kWatchdogResumed));
  EXPECT_EQ(after.others, std::vector<std::string>{"STATUS=running"});
  EXPECT_EQ(files.mem_.Files().size(), 2u) << "the held write completes";
}

}  // namespace
}  // namespace kvx
