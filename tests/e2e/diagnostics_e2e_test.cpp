// The diagnostics of the running program: the traffic log across restarts,
// a log directory that is gone, a reset by the client and many clients at
// once.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <iostream>
#include <map>
#include <string>
#include <thread>

#include "e2e/exchange.h"
#include "e2e/harness.h"
#include "e2e/traffic_records.h"

namespace kvx::e2e {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr char kLogs[] = "KvxTCPIP/Logs";

std::string AbcMessage(const std::string& tag) { return Message(tag, "ABC"); }
std::string AckFrame(const std::string& tag) { return Frame(AckMessage(tag)); }

// "<id> <kind> <data>": a record without its time, to compare lists.
std::string Brief(const TrafficRecord& r) {
  return r.id + " " + r.kind + " " + r.data;
}
std::vector<std::string> Briefs(const std::vector<TrafficRecord>& records) {
  std::vector<std::string> out;
  for (const auto& r : records) out.push_back(Brief(r));
  return out;
}

// Seconds between a record's "dd-mm-yyyy[ hh:nn:ss]" and now.
double SecondsFromNow(const std::string& time) {
  std::tm t{};
  t.tm_isdst = -1;
  std::sscanf(time.c_str(), "%d-%d-%d %d:%d:%d", &t.tm_mday, &t.tm_mon,
              &t.tm_year, &t.tm_hour, &t.tm_min, &t.tm_sec);
  t.tm_mon -= 1;
  t.tm_year -= 1900;
  return std::difftime(std::time(nullptr), std::mktime(&t));
}

// Connects, then closes once the connect is in the log.
std::string ConnectAndClose(std::uint16_t port, const std::string& logs) {
  TcpClient client(port);
  const std::string id = client.PeerId();
  WaitFor([&] { return !RecordsOf(ReadTrafficLog(logs), id).empty(); });
  client.Close();
  return id;
}

// The traffic log is named at the start; a start in the same second finds
// the file of the run before and appends to it.
TEST(DiagnosticsE2eTest, ARestartWithinTheSameSecondAppendsToTheLog) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  // Start early in a second, so that the restart most likely stays in it.
  const auto now = std::chrono::system_clock::now();
  std::this_thread::sleep_until(std::chrono::ceil<std::chrono::seconds>(now) +
                                milliseconds(20));

  ServiceProcess service;
  const std::string logs = service.dir() + kLogs;
  std::vector<std::string> ids;
  for (int run = 0; run < 2; ++run) {
    const std::uint16_t port = service.StartListening();
    ASSERT_NE(port, 0);
    ids.push_back(ConnectAndClose(port, logs));
    ASSERT_TRUE(WaitFor([&] {
      for (const auto& name : TrafficLogNames(logs)) {
        if (ReadWholeFile(logs + "/" + name)
                .find(ids.back() + " Stat Disconnected.") != std::string::npos)
          return true;
      }
      return false;
    }));
    ASSERT_TRUE(service.Stop());
  }

  const auto names = TrafficLogNames(logs);
  const auto records_in = [&](const std::string& name) {
    std::string error;
    const auto r = ParseTrafficLog(ReadWholeFile(logs + "/" + name), &error);
    EXPECT_TRUE(r) << name << ": " << error;
    return r ? Briefs(*r) : std::vector<std::string>{};
  };
  const auto pair = [](const std::string& id) {
    return std::vector<std::string>{id + " Stat Connected.",
                                    id + " Stat Disconnected."};
  };
  if (names.size() == 1) {
    EXPECT_THAT(
        records_in(names[0]),
        ElementsAre(ids[0] + " Stat Connected.", ids[0] + " Stat Disconnected.",
                    ids[1] + " Stat Connected.",
                    ids[1] + " Stat Disconnected."));
  } else {
    ASSERT_EQ(names.size(), 2u);
    std::cerr << "The restart crossed a second: two logs, appending not "
                 "shown this time.\n";
    std::map<std::string, std::vector<std::string>> by_first_id;
    for (const auto& name : names) {
      const auto r = records_in(name);
      if (!r.empty()) by_first_id[r.front().substr(0, r.front().find(' '))] = r;
    }
    EXPECT_EQ(by_first_id[ids[0]], pair(ids[0]));
    EXPECT_EQ(by_first_id[ids[1]], pair(ids[1]));
  }
}

// The log file is opened at the first record: without its directory every
// connection ends before it is served, and no exception file can be written
// either. The service goes on and serves again once the directory is back.
TEST(DiagnosticsE2eTest, WithoutTheLogDirectoryConnectionsEndUnserved) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  ServiceProcess service;
  const std::uint16_t port = service.StartListening();
  ASSERT_NE(port, 0);
  const std::string logs = service.dir() + kLogs;
  ASSERT_THAT(FileNames(logs), IsEmpty());
  fs::remove_all(logs);

  for (int i = 0; i < 2; ++i) {
    TcpClient client(port);
    ASSERT_TRUE(client.connected());
    client.Send(Frame(AbcMessage("8")));  // may meet the close already
    std::string reply;
    EXPECT_TRUE(client.WaitForClose(kTimeout, &reply));
    EXPECT_EQ(reply, "");
  }
  EXPECT_TRUE(service.Running());
  EXPECT_FALSE(fs::exists(logs));

  fs::create_directory(logs);
  TcpClient client(port);
  const std::string id = client.PeerId();
  ASSERT_TRUE(client.Send(Frame(AbcMessage("8"))));
  EXPECT_EQ(client.ReadExactly(AckFrame("8").size()), AckFrame("8"));
  client.Close();
  ASSERT_TRUE(WaitFor([&] { return ReadTrafficLog(logs).size() == 4; }));
  EXPECT_THAT(
      Briefs(ReadTrafficLog(logs)),
      ElementsAre(id + " Stat Connected.",
                  id + " Recv " + Frame(AbcMessage("8")),
                  id + " Sent " + AckFrame("8"), id + " Stat Disconnected."));
  // Only the traffic log: the failed connections left no exception file.
  EXPECT_EQ(FileNames(logs).size(), 1u);
  EXPECT_TRUE(service.Stop());
}

// The file stamp of the local time `t`.
std::string FileStampOf(std::time_t t) {
  std::tm tm{};
  localtime_r(&t, &tm);
  char buffer[16];
  std::strftime(buffer, sizeof buffer, "%d%m%Y%H%M%S", &tm);
  return buffer + std::to_string(tm.tm_mon + 1) + std::to_string(tm.tm_sec);
}

// A traffic log that cannot be opened ends the connection before it is
// served and leaves an exception file with the error's text.
TEST(DiagnosticsE2eTest, ATrafficLogThatCannotBeOpenedLeavesAnExceptionFile) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  ServiceProcess service;
  const std::string logs = service.dir() + kLogs;
  fs::create_directories(logs);
  // Whatever second the start falls in, the log's name is a directory; a
  // start under a sanitizer on a busy machine may take many seconds.
  const std::time_t now = std::time(nullptr);
  for (std::time_t t = now - 1; t <= now + 60; ++t) {
    fs::create_directory(logs + "/TCP_IC" + FileStampOf(t) + ".txt");
  }
  const std::uint16_t port = service.StartListening();
  ASSERT_NE(port, 0);

  TcpClient client(port);
  client.Send(Frame(AbcMessage("8")));  // may meet the close already
  std::string reply;
  EXPECT_TRUE(client.WaitForClose(kTimeout, &reply));
  EXPECT_EQ(reply, "");

  std::vector<std::string> files;
  ASSERT_TRUE(WaitFor([&] {
    files.clear();
    for (const auto& name : FileNames(logs)) {
      if (name.rfind("TCP_IC", 0) != 0) files.push_back(name);
    }
    return !files.empty();
  }));
  ASSERT_EQ(files.size(), 1u);
  const std::string& name = files[0];
  ASSERT_EQ(name.rfind("TCP_EX_", 0), 0u) << name;
  ASSERT_TRUE(name.size() > 11 && name.ends_with(".txt")) << name;
  EXPECT_TRUE(IsFileStamp(name.substr(7, name.size() - 11))) << name;
  const std::string text = ReadWholeFile(logs + "/" + name);
  EXPECT_TRUE(text.starts_with("Cannot open file \"" + logs + "/TCP_IC"))
      << text;
  EXPECT_TRUE(text.ends_with(".txt\". Is a directory.\r\n")) << text;
  EXPECT_TRUE(service.Running());
  EXPECT_TRUE(service.Stop());
}

// A reset while the service reads is reported by the read; the connection's
// records still close.
TEST(DiagnosticsE2eTest, AResetByTheClientIsReportedAsASocketError) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  ServiceProcess service;
  const std::uint16_t port = service.StartListening();
  ASSERT_NE(port, 0);
  const std::string logs = service.dir() + kLogs;
  TcpClient client(port);
  const std::string id = client.PeerId();
  const std::string partial =
      "\x01"
      "108\x02PE1T";
  ASSERT_TRUE(client.Send(partial));
  ASSERT_TRUE(
      WaitFor([&] { return RecordsOf(ReadTrafficLog(logs), id).size() == 2; }));
  client.Reset();

  const auto entry = service.WaitForEvent(
      "Data ontvanger: Socket Error # 104\r\nConnection reset by peer.");
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->type, 1);
  ASSERT_TRUE(
      WaitFor([&] { return RecordsOf(ReadTrafficLog(logs), id).size() == 3; }));
  EXPECT_THAT(Briefs(RecordsOf(ReadTrafficLog(logs), id)),
              ElementsAre(id + " Stat Connected.", id + " Recv " + partial,
                          id + " Stat Disconnected."));
  EXPECT_EQ(FileNames(logs).size(), 1u) << "no exception file";
  EXPECT_TRUE(service.Stop());
}

// 20 clients send 10 frames each at the same time: every reply comes back on
// the connection that sent its frame, and the log holds every record whole.
TEST(DiagnosticsE2eTest, ManyClientsAreAnsweredOnTheirOwnConnectionsAndLogged) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  constexpr int kClients = 20;
  constexpr int kFrames = 10;
  ServiceProcess service;
  const std::uint16_t port = service.StartListening();
  ASSERT_NE(port, 0);
  const std::string logs = service.dir() + kLogs;

  std::vector<std::string> ids(kClients);
  std::vector<std::thread> threads;
  for (int c = 0; c < kClients; ++c) {
    threads.emplace_back([&, c] {
      TcpClient client(port);
      ids[c] = client.PeerId();
      // All frames at once, so that the service's threads write records
      // side by side.
      std::string frames;
      std::string replies;
      for (int f = 0; f < kFrames; ++f) {
        const std::string tag =
            "c" + std::to_string(c) + "f" + std::to_string(f);
        frames += Frame(AbcMessage(tag));
        replies += AckFrame(tag);
      }
      ASSERT_TRUE(client.Send(frames));
      EXPECT_EQ(client.ReadExactly(replies.size()), replies);
    });
  }
  for (auto& t : threads) t.join();

  std::vector<TrafficRecord> records;
  ASSERT_TRUE(WaitFor([&] {
    records = ReadTrafficLog(logs);
    int closed = 0;
    for (const auto& r : records) closed += r.data == "Disconnected.";
    return closed == kClients;
  }));
  std::size_t per_client_total = 0;
  for (int c = 0; c < kClients; ++c) {
    SCOPED_TRACE(ids[c]);
    const auto mine = RecordsOf(records, ids[c]);
    per_client_total += mine.size();
    ASSERT_GE(mine.size(), 2u);
    EXPECT_EQ(Brief(mine.front()), ids[c] + " Stat Connected.");
    EXPECT_EQ(Brief(mine.back()), ids[c] + " Stat Disconnected.");
    std::string received;
    std::string want_received;
    std::vector<std::string> sent;
    std::vector<std::string> want_sent;
    for (int f = 0; f < kFrames; ++f) {
      const std::string tag = "c" + std::to_string(c) + "f" + std::to_string(f);
      want_received += Frame(AbcMessage(tag));
      want_sent.push_back(AckFrame(tag));
    }
    for (std::size_t i = 1; i + 1 < mine.size(); ++i) {
      const auto& r = mine[i];
      // No frame or reply holds a line break: every line is one record.
      EXPECT_EQ(r.data.find_first_of("\r\n"), std::string::npos) << r.data;
      EXPECT_LE(std::abs(SecondsFromNow(r.time)), 60) << r.time;
      if (r.kind == "Recv") received += r.data;
      if (r.kind == "Sent") sent.push_back(r.data);
    }
    EXPECT_EQ(received, want_received);
    EXPECT_EQ(sent, want_sent);
  }
  EXPECT_EQ(per_client_total, records.size()) << "records of unknown ids";
  EXPECT_TRUE(service.Stop());
}

}  // namespace
}  // namespace kvx::e2e
