// The database link through the real driver manager and FreeTDS driver,
// against the TDS login stand-in on 127.0.0.1.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "database/ado_connection.h"
#include "fakes/fake_clock.h"
#include "fakes/fake_tick_scheduler.h"
#include "fakes/recording_event_sink.h"
#include "platform/error.h"
#include "tds_fixture_process.h"
#include "timers/kavero_timers.h"

namespace kvx {
namespace {

// A loopback port on which nothing listens.
int UnusedPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(addr);
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
  close(fd);
  return ntohs(addr.sin_port);
}

class ADOFixtureTest : public ::testing::Test {
 protected:
  void UseServer(int port) {
    ASSERT_GT(port, 0) << "fixture did not start";
    settings_.FSQLServer = "127.0.0.1," + std::to_string(port);
    settings_.FSQLDatabase = "Zefo";
    settings_.FSQLInlognaam = "kavero";
    settings_.FSQLPaswoord = "geheim";
  }

  Settings settings_;
  RecordingEventSink sink_;
  EventLog log_{sink_};
  TADOConnection ado_{MakeOdbcConnection(), settings_, log_, "FreeTDS"};
};

TEST_F(ADOFixtureTest, DatabaseTimerOpensReportsAndStartsTheHeartbeat) {
  TdsFixtureProcess server("accept");
  UseServer(server.port());
  FakeClock clock;
  FakeTickScheduler scheduler;
  int heartbeats = 0;
  KaveroTimers timers(
      clock, scheduler, log_, sink_,
      TimerJobs{[&] { return ado_.IsOpen(); }, [&] { ado_.Open(); },
                [] { return true; }, [] {}, [&] { ++heartbeats; }});
  timers.ActivateTimers();
  clock.Advance(60000);
  timers.TimerList1.Tick();

  EXPECT_EQ(sink_.Texts(),
            (std::vector<std::string>{std::string(kDatabaseConnected),
                                      std::string(kDatabaseLinked)}));
  EXPECT_TRUE(ado_.IsOpen());
  EXPECT_TRUE(timers.UDPLan().Enabled());
  clock.Advance(30000);
  timers.TimerList1.Tick();
  EXPECT_EQ(heartbeats, 1);

  const std::vector<TdsLogin> logins = server.Logins();
  ASSERT_EQ(logins.size(), 1u);
  EXPECT_EQ(logins[0].at("user"), "kavero");
  EXPECT_EQ(logins[0].at("password"), "geheim");
  EXPECT_EQ(logins[0].at("database"), "Zefo");
  EXPECT_EQ(logins[0].at("server").rfind("127.0.0.1", 0), 0u);

  sink_.Clear();
  ado_.Close();
  EXPECT_FALSE(ado_.IsOpen());
  EXPECT_EQ(sink_.Texts(),
            std::vector<std::string>{std::string(kDatabaseDisconnected)});
}

TEST_F(ADOFixtureTest, ValuesArriveIntact) {
  TdsFixtureProcess server("accept");
  UseServer(server.port());
  // Windows-1252 texts: "pässwörd€", "Zéfo", "küsters".
  const struct {
    std::string password, database, user;
  } kCases[] = {
      {"a;b=c{d}e", "Zefo", "kavero"},
      {"{x}}y}", "Ze;fo}", "ka=ve}ro"},
      {"p\xE4ssw\xF6rd\x80",
       "Z\xE9"
       "fo",
       "k\xFCsters"},
      {" ", " ", " "},
  };
  for (const auto& c : kCases) {
    settings_.FSQLPaswoord = c.password;
    settings_.FSQLDatabase = c.database;
    settings_.FSQLInlognaam = c.user;
    ado_.Open();
    ado_.Close();
  }
  const std::vector<TdsLogin> logins = server.Logins();
  ASSERT_EQ(logins.size(), std::size(kCases));
  for (std::size_t i = 0; i < logins.size(); ++i) {
    EXPECT_EQ(logins[i].at("password"), kCases[i].password) << i;
    EXPECT_EQ(logins[i].at("database"), kCases[i].database) << i;
    EXPECT_EQ(logins[i].at("user"), kCases[i].user) << i;
  }
}

TEST_F(ADOFixtureTest, RefusedLoginRaisesTheDriverMessage) {
  TdsFixtureProcess server("refuse");
  UseServer(server.port());
  try {
    ado_.Open();
    FAIL() << "no exception";
  } catch (const KvxError& e) {
    EXPECT_EQ(std::string(e.what()),
              "[FreeTDS][SQL Server]Login failed for user 'kavero'.");
  }
  EXPECT_FALSE(ado_.IsOpen());
  EXPECT_TRUE(sink_.Texts().empty());
}

TEST_F(ADOFixtureTest, NothingListeningFails) {
  UseServer(UnusedPort());
  EXPECT_THROW(ado_.Open(), KvxError);
  EXPECT_FALSE(ado_.IsOpen());
  EXPECT_TRUE(sink_.Texts().empty());
}

// Waits out the 15 s login timeout: the open must give up, not hang.
TEST_F(ADOFixtureTest, SilentServerEndsAtTheLoginTimeout) {
  TdsFixtureProcess server("silent");
  UseServer(server.port());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(ado_.Open(), KvxError);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
  EXPECT_FALSE(ado_.IsOpen());
}

}  // namespace
}  // namespace kvx
