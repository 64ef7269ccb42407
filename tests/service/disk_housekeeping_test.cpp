#include "service/disk_housekeeping.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "core/event_log.h"
#include "core/settings.h"
#include "fakes/fake_clock.h"
#include "fakes/mem_file_system.h"
#include "fakes/recording_event_sink.h"
#include "platform/error.h"

namespace kvx {
namespace {

constexpr char kXml[] = "/opt/k/KvxTCPIP/XML";
constexpr char kLogs[] = "/opt/k/KvxTCPIP/Logs";
constexpr std::uint64_t kMiB = 1024 * 1024;
const LocalTime kNow{2026, 3, 10, 12, 0, 0, 0};

LocalTime DaysBefore(int days, int extra_seconds = 0) {
  // Within March 2026 for the cases below.
  LocalTime t = kNow;
  t.day -= days;
  t.second += extra_seconds;
  return t;
}

class DiskHousekeepingTest : public ::testing::Test {
 protected:
  DiskHousekeepingTest() {
    for (const char* d : {"/opt", "/opt/k", "/opt/k/KvxTCPIP", kXml, kLogs}) {
      files_.AddDirectory(d);
    }
    settings_.FOutputDirectory = kXml;
    clock_.SetNow(kNow);
    files_.SetNow(kNow);
  }
  void Add(const std::string& path, const LocalTime& modified) {
    files_.AddFile(path, "x");
    files_.SetModified(path, modified);
  }

  Settings settings_;
  MemFileSystem files_;
  FakeClock clock_;
  RecordingEventSink sink_;
  EventLog events_{sink_};
  std::string in_use_ = std::string(kLogs) + "/TCP_IC0103202612000031.txt";
  DiskHousekeeping housekeeping_{settings_, files_, clock_,
                                 events_,   kLogs,  [this] { return in_use_; }};
};

TEST(DiskNamesTest, KnowsTheArchiveAndLogForms) {
  const struct {
    const char* name;
    bool archive, log;
  } kCases[] = {
      {"TCP_COMx_2505201014030757_1.TXT", true, false},
      {"TCP_COM_2505201014030757_10001.XML", true, false},
      {"TCP_DIV_1_2.XML", true, false},
      {"TCP_COMx_2505201014030757_1.XML", false, false},
      {"TCP_COM_2505201014030757.XML", false, false},
      {"TCP_COM_2505201014030757_.XML", false, false},
      {"TCP_DIV_25052010_1.XML.bak", false, false},
      {"tcp_div_1_2.xml", false, false},
      {".kvx-tmp-12-3", false, false},
      {"TCP_IC2505201014030757.txt", false, true},
      {"TCP_EX_2505201014030757.txt", false, true},
      {"TCP_LE_1.txt", false, true},
      {"TCP_ST_1.txt", false, true},
      {"TCP_HS_1.txt", false, false},
      {"TCP_IC.txt", false, false},
      {"KvxTCPServer.log", false, false},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(IsArchiveName(c.name), c.archive) << c.name;
    EXPECT_EQ(IsLogName(c.name), c.log) << c.name;
  }
}

// One warning going below the mark, one information entry rising above
// it, per directory; checked at start and then once a minute.
TEST_F(DiskHousekeepingTest, FreeSpaceMarkCrossesDownAndUpOnceEach) {
  files_.SetFreeBytes("/opt", 5000 * kMiB);
  housekeeping_.Start();
  EXPECT_TRUE(sink_.Texts().empty());
  EXPECT_EQ(housekeeping_.ArchiveFreeBytes(), 5000 * kMiB);

  files_.SetFreeBytes(kXml, 700 * kMiB);
  clock_.Advance(59999);
  housekeeping_.Tick();
  EXPECT_TRUE(sink_.Texts().empty()) << "not before a minute has passed";
  clock_.Advance(1);
  housekeeping_.Tick();
  ASSERT_EQ(sink_.Events().size(), 1u);
  EXPECT_EQ(sink_.Events()[0].type, EventType::kWarning);
  EXPECT_EQ(sink_.Texts()[0], std::string(kDiskLowText) + kXml +
                                  ": 700 MB vrij, minimum 1024 MB");
  EXPECT_TRUE(housekeeping_.BelowMark());

  for (int i = 0; i < 3; ++i) {
    clock_.Advance(60000);
    housekeeping_.Tick();
  }
  EXPECT_EQ(sink_.Texts().size(), 1u) << "still below: nothing more";

  files_.SetFreeBytes(kXml, 1024 * kMiB);
  clock_.Advance(60000);
  housekeeping_.Tick();
  ASSERT_EQ(sink_.Events().size(), 2u);
  EXPECT_EQ(sink_.Events()[1].type, EventType::kInformation);
  EXPECT_EQ(sink_.Texts()[1],
            std::string(kDiskOkText) + kXml + ": 1024 MB vrij");
  EXPECT_FALSE(housekeeping_.BelowMark());

  // The logs' directory has its own state; 0 switches the mark off.
  files_.SetFreeBytes(kLogs, 10 * kMiB);
  clock_.Advance(60000);
  housekeeping_.Tick();
  ASSERT_EQ(sink_.Texts().size(), 3u);
  EXPECT_EQ(sink_.Texts()[2], std::string(kDiskLowText) + kLogs +
                                  ": 10 MB vrij, minimum 1024 MB");
  settings_.FMinFreeDiskMB = 0;
  files_.SetFreeBytes(kXml, 0);
  clock_.Advance(60000);
  housekeeping_.Tick();
  EXPECT_EQ(sink_.Texts().size(), 3u);
}

// Only archive names in the archive directory and log names in the logs'
// directory, older than N days, are deleted; the traffic log in use stays.
TEST_F(DiskHousekeepingTest, SweepsByAgeAndKeepsWhatItMust) {
  settings_.FArchiveRetentionDays = 3;
  settings_.FLogRetentionDays = 2;
  const std::string xml = std::string(kXml) + "/";
  const std::string logs = std::string(kLogs) + "/";
  const struct {
    std::string path;
    LocalTime modified;
    bool kept;
  } kFiles[] = {
      {xml + "TCP_COMx_1_1.TXT", DaysBefore(3, -1), false},
      {xml + "TCP_COM_1_1.XML", DaysBefore(9), false},
      {xml + "TCP_DIV_1_2.XML", DaysBefore(3), true},  // exactly 3 days
      {xml + "TCP_COM_1_3.XML", DaysBefore(0), true},
      {xml + "order.xml", DaysBefore(9), true},
      {xml + "TCP_IC1.txt", DaysBefore(9), true},
      {logs + "TCP_IC0103202612000030.txt", DaysBefore(5), false},
      {logs + "TCP_EX_1.txt", DaysBefore(5), false},
      {logs + "TCP_ST_1.txt", DaysBefore(1), true},
      {in_use_, DaysBefore(9), true},
      {logs + "TCP_COM_1_9.XML", DaysBefore(9), true},
      {logs + "events.json", DaysBefore(9), true},
      {"/opt/k/TCP_COM_1_1.XML", DaysBefore(9), true},
  };
  for (const auto& f : kFiles) Add(f.path, f.modified);
  housekeeping_.Start();
  for (const auto& f : kFiles) {
    EXPECT_EQ(files_.FileExists(f.path), f.kept) << f.path;
  }
  EXPECT_EQ(sink_.Texts(),
            (std::vector<std::string>{
                "Kavero TCP/IP server heeft 2 oude bestanden verwijderd uit " +
                    std::string(kXml),
                "Kavero TCP/IP server heeft 2 oude bestanden verwijderd uit " +
                    std::string(kLogs)}));
}

// Without retention settings nothing is ever deleted.
TEST_F(DiskHousekeepingTest, KeepsEverythingWithoutRetention) {
  Add(std::string(kXml) + "/TCP_COM_1_1.XML", DaysBefore(9000));
  Add(std::string(kLogs) + "/TCP_EX_1.txt", DaysBefore(9000));
  housekeeping_.Start();
  clock_.SetNow(DaysBefore(-1));
  housekeeping_.Tick();
  EXPECT_EQ(files_.Files().size(), 2u);
  EXPECT_TRUE(sink_.Texts().empty());
}

// A sweep runs at start and at the first tick of each new day; a file
// that cannot be deleted is reported once per sweep and skipped.
TEST_F(DiskHousekeepingTest, SweepsDailyAndReportsWhatCannotGo) {
  settings_.FArchiveRetentionDays = 1;
  const std::string xml = std::string(kXml) + "/";
  Add(xml + "TCP_COM_1_1.XML", DaysBefore(5));
  Add(xml + "TCP_COM_1_2.XML", DaysBefore(5));
  files_.FailWritesUnder(xml + "TCP_COM_1_");
  housekeeping_.Start();
  ASSERT_EQ(sink_.Events().size(), 1u);
  EXPECT_EQ(sink_.Events()[0].type, EventType::kWarning);
  EXPECT_EQ(sink_.Texts()[0],
            "Kavero TCP/IP server kon 2 oude bestanden niet verwijderen uit " +
                std::string(kXml) +
                ", waaronder TCP_COM_1_1.XML: " + SystemErrorText(EACCES));

  files_.ClearFailures();
  Add(xml + "TCP_DIV_1_3.XML", kNow);
  housekeeping_.Tick();
  EXPECT_EQ(sink_.Texts().size(), 1u) << "the same day: no sweep";
  LocalTime tomorrow = kNow;
  tomorrow.day += 1;
  tomorrow.hour = 0;
  clock_.SetNow(tomorrow);
  housekeeping_.Tick();
  ASSERT_EQ(sink_.Texts().size(), 2u);
  EXPECT_EQ(sink_.Texts()[1],
            "Kavero TCP/IP server heeft 2 oude bestanden verwijderd uit " +
                std::string(kXml));
  EXPECT_TRUE(files_.FileExists(xml + "TCP_DIV_1_3.XML"));
}

// Temporary files of an interrupted archive write go at start, and only
// they.
TEST_F(DiskHousekeepingTest, RemovesTemporaryLeftoversAtStart) {
  const std::string xml = std::string(kXml) + "/";
  Add(xml + ".kvx-tmp-123-0", kNow);
  Add(xml + ".kvx-tmp-123-1", kNow);
  Add(xml + "TCP_COM_1_1.XML", kNow);
  Add(xml + ".hidden", kNow);
  housekeeping_.Start();
  EXPECT_EQ(files_.Files().size(), 2u);
  EXPECT_TRUE(files_.FileExists(xml + "TCP_COM_1_1.XML"));
  EXPECT_EQ(sink_.Texts(),
            std::vector<std::string>{
                "Kavero TCP/IP server heeft 2 onvolledige tijdelijke "
                "bestanden verwijderd uit " +
                std::string(kXml)});
}

}  // namespace
}  // namespace kvx
