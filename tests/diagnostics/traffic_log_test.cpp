// Records of the traffic log: formats, file handling and whole records
// under concurrent writers.
#include "diagnostics/traffic_log.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "fakes/fake_clock.h"
#include "fakes/mem_file_system.h"
#include "platform/error.h"

namespace kvx {
namespace {

constexpr char kLog[] = "/p/KvxTCPIP/Logs/TCP_IC2505201014030757.txt";

class TrafficLogTest : public ::testing::Test {
 protected:
  TrafficLogTest() {
    fs_.AddDirectory("/p");
    fs_.AddDirectory("/p/KvxTCPIP");
    fs_.AddDirectory("/p/KvxTCPIP/Logs");
    log_.SetFilename(kLog);
  }
  TServerInterceptLogFileConnection Connection(std::string id) {
    return TServerInterceptLogFileConnection(log_, std::move(id));
  }

  MemFileSystem fs_;
  FakeClock clock_;
  TServerInterceptLogFile log_{fs_, clock_, "/p/KvxTCPServer.log"};
};

TEST(TrafficLogTimeTest, WritesDateAndTimeOrTheDateAloneAtMidnight) {
  EXPECT_EQ(TrafficLogTime({2010, 5, 25, 14, 3, 7, 5}), "25-05-2010 14:03:07");
  EXPECT_EQ(TrafficLogTime({2010, 12, 9, 0, 0, 0, 900}), "09-12-2010");
  EXPECT_EQ(TrafficLogTime({2010, 12, 9, 0, 0, 1, 0}), "09-12-2010 00:00:01");
}

TEST_F(TrafficLogTest, OneExchangeGivesFourRecordsWithOneId) {
  auto c = Connection("192.0.2.7:50000");
  c.Connected();
  c.Received(
      "\x01"
      "8\x02PE1TRy8+\x04");
  c.Sent("\x15");
  c.Disconnected();
  EXPECT_EQ(fs_.Content(kLog),
            "192.0.2.7:50000 Stat Connected.\r\n"
            "192.0.2.7:50000 Recv 25-05-2010 14:03:07: \x01"
            "8\x02PE1TRy8+\x04\r\n"
            "192.0.2.7:50000 Sent 25-05-2010 14:03:07: \x15\r\n"
            "192.0.2.7:50000 Stat Disconnected.\r\n");
}

TEST_F(TrafficLogTest, DataKeepsLineBreaksAndLosesHighBytes) {
  auto c = Connection("127.0.0.1:1");
  c.Received(std::string("a\r\nb\x80\xFF\0", 7));
  EXPECT_EQ(
      fs_.Content(kLog),
      std::string("127.0.0.1:1 Recv 25-05-2010 14:03:07: a\r\nb??\0\r\n", 47));
}

TEST_F(TrafficLogTest, AppendsToAnExistingFileAndKeepsTheFirstName) {
  fs_.AddFile(kLog, "old\r\n");
  auto c = Connection("127.0.0.1:1");
  c.Connected();
  log_.SetFilename("/p/KvxTCPIP/Logs/other.txt");
  c.Disconnected();
  EXPECT_EQ(fs_.Content(kLog),
            "old\r\n127.0.0.1:1 Stat Connected.\r\n"
            "127.0.0.1:1 Stat Disconnected.\r\n");
  EXPECT_FALSE(fs_.FileExists("/p/KvxTCPIP/Logs/other.txt"));
}

// TrafficLogDaily: the first record after local midnight opens a new file
// named by its own stamp; without it one file serves the whole process.
TEST_F(TrafficLogTest, ADailyLogOpensANewFileAtTheFirstRecordOfADay) {
  for (const bool daily : {true, false}) {
    MemFileSystem fs;
    fs.AddDirectory("/p");
    fs.AddDirectory("/p/KvxTCPIP");
    fs.AddDirectory("/p/KvxTCPIP/Logs");
    FakeClock clock;
    clock.SetNow({2026, 3, 10, 23, 59, 59, 0});
    TServerInterceptLogFile log(fs, clock, "/p/KvxTCPServer.log");
    log.SetFilename(kLog);
    if (daily) log.EnableDailyFiles("/p/KvxTCPIP/Logs/TCP_IC");
    TServerInterceptLogFileConnection c(log, "127.0.0.1:1");
    c.Connected();
    clock.SetNow({2026, 3, 11, 0, 0, 1, 0});
    c.Received("a");
    c.Disconnected();
    const std::string next = "/p/KvxTCPIP/Logs/TCP_IC1103202600000131.txt";
    if (daily) {
      EXPECT_EQ(fs.Content(kLog), "127.0.0.1:1 Stat Connected.\r\n");
      EXPECT_EQ(fs.Content(next),
                "127.0.0.1:1 Recv 11-03-2026 00:00:01: a\r\n"
                "127.0.0.1:1 Stat Disconnected.\r\n");
      EXPECT_EQ(log.CurrentFilename(), next);
    } else {
      EXPECT_FALSE(fs.FileExists(next));
      EXPECT_EQ(log.CurrentFilename(), kLog);
    }
  }
}

TEST_F(TrafficLogTest, UsesTheDefaultNameWhenNoneIsSet) {
  TServerInterceptLogFile log(fs_, clock_, "/p/KvxTCPServer.log");
  TServerInterceptLogFileConnection c(log, "0.0.0.0:0");
  c.Connected();
  EXPECT_EQ(fs_.Content("/p/KvxTCPServer.log"),
            "0.0.0.0:0 Stat Connected.\r\n");
}

TEST_F(TrafficLogTest, AFileThatCannotBeOpenedIsTriedAgainAtTheNextRecord) {
  fs_.RemoveDirectory("/p/KvxTCPIP/Logs");
  auto c = Connection("127.0.0.1:1");
  try {
    c.Connected();
    FAIL() << "no error";
  } catch (const KvxError& e) {
    EXPECT_EQ(std::string(e.what()), std::string("Cannot create file \"") +
                                         kLog +
                                         "\". No such file or directory.");
  }
  fs_.AddDirectory("/p/KvxTCPIP/Logs");
  c.Disconnected();
  EXPECT_EQ(fs_.Content(kLog), "127.0.0.1:1 Stat Disconnected.\r\n");
}

TEST_F(TrafficLogTest, RecordsOfConcurrentConnectionsStayWhole) {
  constexpr int kThreads = 8;
  constexpr int kRecords = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      auto c = Connection("10.0.0." + std::to_string(t) + ":1");
      const std::string data(100, static_cast<char>('a' + t));
      for (int i = 0; i < kRecords; ++i) c.Received(data);
    });
  }
  for (auto& t : threads) t.join();
  const std::string content = fs_.Content(kLog);
  std::size_t lines = 0;
  for (std::size_t at = 0; at < content.size(); ++lines) {
    const std::size_t end = content.find("\r\n", at);
    ASSERT_NE(end, std::string::npos);
    const std::string line = content.substr(at, end - at);
    const char who = line[7];  // "10.0.0.N:1 Recv ..."
    EXPECT_EQ(line, "10.0.0." + std::string(1, who) +
                        ":1 Recv 25-05-2010 14:03:07: " +
                        std::string(100, static_cast<char>('a' + who - '0')));
    at = end + 2;
  }
  EXPECT_EQ(lines, static_cast<std::size_t>(kThreads * kRecords));
}

}  // namespace
}  // namespace kvx
