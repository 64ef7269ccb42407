#include "server/message_archive.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/settings.h"
#include "fakes/fake_clock.h"
#include "fakes/mem_file_system.h"
#include "platform/error.h"
#include "server/server_settings.h"

namespace kvx {
namespace {

constexpr char kDir[] = "/srv/XML";
constexpr char kStamp[] = "2505201014030757";  // the fake clock's time

std::string Name(const char* prefix, int n, const char* stamp = kStamp) {
  const bool raw = std::string(prefix) == "TCP_COMx_";
  return std::string(kDir) + "/" + prefix + stamp + "_" + std::to_string(n) +
         (raw ? ".TXT" : ".XML");
}

class MessageArchiveTest : public ::testing::Test {
 protected:
  MessageArchiveTest() {
    files_.AddDirectory("/srv");
    files_.AddDirectory(kDir);
  }
  // Archives one frame; returns the number its raw file took (0: none).
  int Archive(const std::string& raw, std::optional<ArchiveKind> kind) {
    const auto before = files_.Files();
    const ArchiveOutcome outcome = archive_.Write({raw, kind, "msg"});
    EXPECT_EQ(outcome.failed, ArchiveOutcome::Failed::kNone) << outcome.error;
    for (const auto& [path, bytes] : files_.Files()) {
      if (before.count(path) || path.find("TCP_COMx_") == std::string::npos) {
        continue;
      }
      EXPECT_EQ(bytes, raw + "\r\n") << path;
      const auto underscore = path.rfind('_');
      return std::stoi(path.substr(underscore + 1));
    }
    return 0;
  }

  Settings settings_ = TemplateSettings(kDir);
  MemFileSystem files_;
  FakeClock clock_;
  MessageArchive archive_{settings_, files_, clock_};
};

// Without collisions the numbering is the counter's: a decoded file
// advances it, a raw-only file uses it, 10000 wraps to 1, a new second
// goes on with the counter.
TEST_F(MessageArchiveTest, NumbersAsTheCounterWhenNothingCollides) {
  EXPECT_EQ(Archive("a", ArchiveKind::kCom), 1);
  EXPECT_EQ(Archive("b", ArchiveKind::kDiv), 2);
  EXPECT_EQ(files_.Content(Name("TCP_COM_", 1)), "msg\r\n");
  EXPECT_EQ(files_.Content(Name("TCP_DIV_", 2)), "msg\r\n");
  EXPECT_EQ(archive_.FileCounter(), 3);
  clock_.SetNow({2010, 5, 25, 14, 3, 8, 0});
  EXPECT_EQ(Archive("c", std::nullopt), 3);
  EXPECT_EQ(archive_.FileCounter(), 3) << "a raw file does not advance it";
  clock_.SetNow({2010, 5, 25, 14, 3, 9, 0});
  EXPECT_EQ(Archive("d", std::nullopt), 3);
  archive_.SetFileCounter(10000);
  EXPECT_EQ(Archive("e", ArchiveKind::kCom), 10000);
  EXPECT_EQ(archive_.FileCounter(), 1);
  EXPECT_EQ(archive_.Collisions(), 0u);
}

// Files of another process (or an earlier run) under either name of a
// number move the frame on, raw and decoded together, and the counter
// continues after the number used.
TEST_F(MessageArchiveTest, ATakenNameMovesBothFilesToTheNextFreeNumber) {
  const struct {
    const char* name;
    std::vector<std::string> seeded;
    std::optional<ArchiveKind> kind;
    int want_number;
    int want_counter;
  } kCases[] = {
      {"raw taken", {Name("TCP_COMx_", 1)}, ArchiveKind::kCom, 2, 3},
      {"decoded taken", {Name("TCP_COM_", 1)}, ArchiveKind::kCom, 2, 3},
      {"other kind's name does not count",
       {Name("TCP_DIV_", 1)},
       ArchiveKind::kCom,
       1,
       2},
      {"a run of both",
       {Name("TCP_COMx_", 1), Name("TCP_COM_", 2), Name("TCP_COMx_", 3)},
       ArchiveKind::kCom,
       4,
       5},
      {"raw only, taken", {Name("TCP_COMx_", 1)}, std::nullopt, 2, 2},
  };
  for (const auto& c : kCases) {
    MemFileSystem files;
    files.AddDirectory("/srv");
    files.AddDirectory(kDir);
    for (const auto& path : c.seeded) files.AddFile(path, "theirs");
    MessageArchive archive(settings_, files, clock_);
    ASSERT_EQ(archive.Write({"mine", c.kind, "msg"}).failed,
              ArchiveOutcome::Failed::kNone)
        << c.name;
    for (const auto& path : c.seeded) {
      EXPECT_EQ(files.Content(path), "theirs") << c.name << " " << path;
    }
    EXPECT_EQ(files.Content(Name("TCP_COMx_", c.want_number)), "mine\r\n")
        << c.name;
    if (c.kind) {
      EXPECT_EQ(files.Content(Name("TCP_COM_", c.want_number)), "msg\r\n")
          << c.name;
    }
    EXPECT_EQ(files.Files().size(), c.seeded.size() + (c.kind ? 2 : 1))
        << c.name << ": the raw file of a decoded collision is taken back";
    EXPECT_EQ(archive.FileCounter(), c.want_counter) << c.name;
  }
}

// Archiving off: frames of one second no longer replace each other's raw
// file; each takes the next number.
TEST_F(MessageArchiveTest, RawFilesOfOneSecondEachKeepTheirOwnNumber) {
  for (int i = 1; i <= 20; ++i) {
    EXPECT_EQ(Archive("f" + std::to_string(i), std::nullopt), i);
  }
  EXPECT_EQ(files_.Files().size(), 20u);
}

// When 1..10000 are all taken for the stamp, numbers go on above 10000;
// a new stamp returns to the counter.
TEST_F(MessageArchiveTest, AFullRangeGoesOnAboveTenThousand) {
  for (int n = 1; n <= 10000; ++n) files_.AddFile(Name("TCP_COMx_", n), "x");
  archive_.SetFileCounter(4711);
  EXPECT_EQ(Archive("a", ArchiveKind::kCom), 10001);
  EXPECT_TRUE(files_.FileExists(Name("TCP_COM_", 10001)));
  EXPECT_EQ(Archive("b", ArchiveKind::kDiv), 10002);
  EXPECT_EQ(Archive("c", std::nullopt), 10003);
  EXPECT_EQ(Archive("d", std::nullopt), 10004);
  EXPECT_EQ(files_.Content(Name("TCP_COMx_", 1)), "x");
  EXPECT_EQ(files_.Content(Name("TCP_COMx_", 10000)), "x");
  EXPECT_EQ(archive_.FileCounter(), 4711) << "went once round the range";
  clock_.SetNow({2010, 5, 25, 14, 3, 8, 0});
  EXPECT_EQ(Archive("e", ArchiveKind::kCom), 4711);
}

// More than 10000 frames in one second: the counter wraps onto this run's
// own files of that second, and the later frames go above 10000.
TEST_F(MessageArchiveTest, OwnFilesOfOneBusySecondAreNeverReplaced) {
  for (int i = 0; i < 10005; ++i) {
    ASSERT_EQ(archive_.Write({"r", ArchiveKind::kCom, "m"}).failed,
              ArchiveOutcome::Failed::kNone);
  }
  EXPECT_EQ(files_.Files().size(), 2u * 10005);
  EXPECT_TRUE(files_.FileExists(Name("TCP_COMx_", 10005)));
  EXPECT_TRUE(files_.FileExists(Name("TCP_COM_", 10005)));
}

// A file that cannot be written fails the frame and leaves the counter; a
// raw file already written stays, and the frame's retry moves past it.
TEST_F(MessageArchiveTest, AFailedDecodedFileLeavesTheCounter) {
  files_.FailWritesUnder(std::string(kDir) + "/TCP_COM_");
  const ArchiveOutcome failed = archive_.Write({"a", ArchiveKind::kCom, "m"});
  EXPECT_EQ(failed.failed, ArchiveOutcome::Failed::kDecoded);
  EXPECT_EQ(archive_.FileCounter(), 1);
  EXPECT_EQ(archive_.Failures(), 1u);
  files_.ClearFailures();
  EXPECT_EQ(Archive("a", ArchiveKind::kCom), 2);
  EXPECT_EQ(files_.Content(Name("TCP_COMx_", 1)), "a\r\n");
}

struct WriterRun {
  std::vector<std::string> journal;
  std::vector<ArchiveOutcome> outcomes;
};

// Submits `frames` frames from several threads' worth of order and waits
// for all of them; each completion is noted in the file system's journal.
WriterRun RunWriter(MemFileSystem& files, const Settings& settings,
                    int frames) {
  FakeClock clock;
  MessageArchive archive(settings, files, clock);
  WriterRun run;
  std::mutex mutex;
  {
    ArchiveWriter writer(archive);
    for (int i = 0; i < frames; ++i) {
      writer.Submit({"f" + std::to_string(i), ArchiveKind::kCom, "m"},
                    [&, i](ArchiveOutcome o) {
                      files.Note("done f" + std::to_string(i));
                      std::scoped_lock lock(mutex);
                      run.outcomes.push_back(std::move(o));
                    });
    }
  }
  run.journal = files.Journal();
  return run;
}

// ArchiveSync: no frame's completion (its reply) comes before the sync of
// the batch that holds both its files; without it nothing is synced.
TEST(ArchiveWriterSyncTest, NoOutcomeLeavesBeforeItsBatchIsSynced) {
  for (const bool sync : {true, false}) {
    MemFileSystem files;
    files.AddDirectory("/srv");
    files.AddDirectory(kDir);
    Settings settings = TemplateSettings(kDir);
    settings.FArchiveSync = sync;
    const WriterRun run = RunWriter(files, settings, 200);
    ASSERT_EQ(run.outcomes.size(), 200u);
    for (const auto& o : run.outcomes) {
      EXPECT_EQ(o.failed, ArchiveOutcome::Failed::kNone) << o.error;
    }
    if (!sync) {
      EXPECT_EQ(files.SyncCount(), 0u);
      continue;
    }
    // The raw file of frame i holds "f<i>": find its name, then check the
    // order of create, sync and done.
    std::map<std::string, std::string> raw_of;  // "f<i>" -> path
    for (const auto& [path, bytes] : files.Files()) {
      if (path.find("TCP_COMx_") != std::string::npos) {
        raw_of[bytes.substr(0, bytes.size() - 2)] = path;
      }
    }
    int syncs = 0;
    std::set<std::string> synced;
    for (const std::string& entry : run.journal) {
      if (entry.rfind("sync ", 0) == 0) {
        ++syncs;
        std::size_t at = 5;
        while (at < entry.size()) {
          const std::size_t end = std::min(entry.find(' ', at), entry.size());
          synced.insert(entry.substr(at, end - at));
          at = end + 1;
        }
      } else if (entry.rfind("done ", 0) == 0) {
        const std::string raw = raw_of.at(entry.substr(5));
        std::string decoded = raw;
        decoded.replace(decoded.find("TCP_COMx_"), 9, "TCP_COM_");
        decoded.replace(decoded.size() - 4, 4, ".XML");
        EXPECT_TRUE(synced.count(raw))
            << entry << " before the sync of " << raw;
        EXPECT_TRUE(synced.count(decoded)) << entry << " before " << decoded;
      }
    }
    EXPECT_GE(syncs, 1);
    EXPECT_EQ(synced.size(), 400u);
    // Every batch syncs its files and its one directory once.
    EXPECT_EQ(files.SyncCount(), 400u + syncs);
  }
}

// A sync that fails answers no frame of its batch: each is reported as a
// failed raw file, so the frame stays and is tried again.
TEST(ArchiveWriterSyncTest, AFailedSyncFailsEveryFrameOfTheBatch) {
  MemFileSystem files;
  files.AddDirectory("/srv");
  files.AddDirectory(kDir);
  files.FailSyncs(true);
  Settings settings = TemplateSettings(kDir);
  settings.FArchiveSync = true;
  const WriterRun run = RunWriter(files, settings, 5);
  ASSERT_EQ(run.outcomes.size(), 5u);
  for (const auto& o : run.outcomes) {
    EXPECT_EQ(o.failed, ArchiveOutcome::Failed::kRaw);
    EXPECT_EQ(o.error.rfind("Stream write error: ", 0), 0u) << o.error;
  }
}

TEST(ArchiveWriterTest, WritesInOrderPairsNumbersAndReportsEachOutcome) {
  Settings settings = TemplateSettings(kDir);
  MemFileSystem files;
  files.AddDirectory("/srv");
  files.AddDirectory(kDir);
  files.FailWritesUnder(std::string(kDir) + "/TCP_DIV_");
  FakeClock clock;
  MessageArchive archive(settings, files, clock);
  std::mutex mutex;
  std::vector<std::string> outcomes;  // GUARDED_BY(mutex)
  {
    ArchiveWriter writer(archive);
    const auto submit = [&](std::string raw, std::optional<ArchiveKind> kind) {
      writer.Submit({std::move(raw), kind, "m"}, [&](ArchiveOutcome o) {
        std::scoped_lock lock(mutex);
        outcomes.push_back(o.failed == ArchiveOutcome::Failed::kNone ? "ok"
                           : o.failed == ArchiveOutcome::Failed::kRaw
                               ? "raw: " + o.error
                               : "decoded: " + o.error);
      });
    };
    submit("a", ArchiveKind::kCom);
    submit("b", ArchiveKind::kDiv);  // fails: its number is used again
    submit("c", std::nullopt);       // raw only: does not advance
    submit("d", ArchiveKind::kCom);
    // Leaving the scope waits for everything submitted.
  }
  EXPECT_EQ(
      outcomes,
      (std::vector<std::string>{
          "ok",
          "decoded: " + CannotCreateFileMessage(Name("TCP_DIV_", 2), EACCES),
          "ok", "ok"}));
  // The fake clock stands still and nothing is replaced: b's raw file keeps
  // 2, so c takes 3 and d, finding 3 taken, 4 for both its files.
  EXPECT_EQ(files.Content(Name("TCP_COMx_", 1)), "a\r\n");
  EXPECT_EQ(files.Content(Name("TCP_COM_", 1)), "m\r\n");
  EXPECT_EQ(files.Content(Name("TCP_COMx_", 2)), "b\r\n");
  EXPECT_EQ(files.Content(Name("TCP_COMx_", 3)), "c\r\n");
  EXPECT_EQ(files.Content(Name("TCP_COMx_", 4)), "d\r\n");
  EXPECT_EQ(files.Content(Name("TCP_COM_", 4)), "m\r\n");
  EXPECT_EQ(files.Files().size(), 6u);
  EXPECT_EQ(archive.FileCounter(), 5);
}

// An outcome that holds the writer in hand: Done() runs on the writer's
// thread and returns only after Release(); WaitHeld() returns once it runs.
class HeldOutcome {
 public:
  ArchiveWriter::Done Done(std::function<void()> first = {}) {
    return [this, first = std::move(first)](ArchiveOutcome) {
      if (first) first();
      std::unique_lock lock(mutex_);
      held_ = true;
      changed_.notify_all();
      changed_.wait(lock, [&] { return released_; });
    };
  }
  void WaitHeld() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return held_; });
  }
  void Release() {
    {
      std::scoped_lock lock(mutex_);
      released_ = true;
    }
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool held_ = false;
  bool released_ = false;
};

// Without ArchiveSync a frame written alone is answered at once, and the
// frames of a longer batch in groups of 16, each group once its files are
// written: a frame's outcome never comes before its own files.
TEST(ArchiveWriterTest, HandsOutcomesOutAloneOrInGroups) {
  Settings settings = TemplateSettings(kDir);
  MemFileSystem files;
  files.AddDirectory("/srv");
  files.AddDirectory(kDir);
  FakeClock clock;
  MessageArchive archive(settings, files, clock);
  HeldOutcome first;
  {
    ArchiveWriter writer(archive);
    // The first frame's outcome holds the writer until the other 40 are
    // queued, so that they form one batch.
    writer.Submit({"f0", ArchiveKind::kCom, "m"},
                  first.Done([&files] { files.Note("done 0"); }));
    first.WaitHeld();
    for (int i = 1; i <= 40; ++i) {
      writer.Submit({"f" + std::to_string(i), ArchiveKind::kCom, "m"},
                    [&files, i](ArchiveOutcome) {
                      files.Note("done " + std::to_string(i));
                    });
    }
    first.Release();
  }
  // Per outcome: how many frames had both files when it was handed out.
  std::vector<int> written_before;
  int creates = 0;
  for (const std::string& entry : files.Journal()) {
    if (entry.rfind("create ", 0) == 0) ++creates;
    if (entry.rfind("done ", 0) == 0) written_before.push_back(creates / 2);
  }
  std::vector<int> expected = {1};
  for (int i = 1; i <= 40; ++i)
    expected.push_back(1 + std::min(40, (i + 15) / 16 * 16));
  EXPECT_EQ(written_before, expected);
}

// A frame that comes while the writer has nothing to do is written on the
// caller's thread; while the writer holds a batch, or with ArchiveSync (the
// group commit), nothing is written and the caller submits.
TEST(ArchiveWriterTest, WritesOnTheCallersThreadOnlyWhileIdle) {
  for (const bool sync : {false, true}) {
    Settings settings = TemplateSettings(kDir);
    settings.FArchiveSync = sync;
    MemFileSystem files;
    files.AddDirectory("/srv");
    files.AddDirectory(kDir);
    FakeClock clock;
    MessageArchive archive(settings, files, clock);
    ArchiveWriter writer(archive);
    const std::optional<ArchiveOutcome> alone =
        writer.WriteIfIdle({"a", ArchiveKind::kCom, "m"});
    if (sync) {
      EXPECT_FALSE(alone);
      EXPECT_TRUE(files.Files().empty());
      continue;
    }
    ASSERT_TRUE(alone);
    EXPECT_EQ(alone->failed, ArchiveOutcome::Failed::kNone);
    EXPECT_EQ(files.Content(Name("TCP_COMx_", 1)), "a\r\n");
    EXPECT_EQ(archive.FileCounter(), 2);

    // The writer's outcome holds it busy until the check below is done.
    HeldOutcome in_hand;
    writer.Submit({"b", ArchiveKind::kCom, "m"}, in_hand.Done());
    in_hand.WaitHeld();
    EXPECT_FALSE(writer.WriteIfIdle({"c", ArchiveKind::kCom, "m"}));
    EXPECT_EQ(files.Files().size(), 4u);  // a's and b's files only
    in_hand.Release();
  }
}

}  // namespace
}  // namespace kvx
