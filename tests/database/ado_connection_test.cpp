#include "database/ado_connection.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fakes/recording_event_sink.h"
#include "platform/error.h"

namespace kvx {
namespace {

// A driver connection that records the strings it was given.
struct FakeDriver {
  bool connected = false;
  bool dead = false;
  std::string error;  // non-empty: Connect fails with it
  std::vector<std::string> strings;
  int disconnects = 0;
};

class FakeOdbcConnection final : public OdbcConnection {
 public:
  explicit FakeOdbcConnection(FakeDriver& driver) : driver_(driver) {}
  void Connect(std::string_view text, int timeout) override {
    EXPECT_EQ(timeout, 15);
    driver_.strings.emplace_back(text);
    if (!driver_.error.empty()) throw KvxError(driver_.error);
    driver_.connected = true;
    driver_.dead = false;
  }
  bool IsConnected() override { return driver_.connected && !driver_.dead; }
  void Disconnect() noexcept override {
    if (driver_.connected) ++driver_.disconnects;
    driver_.connected = false;
  }

 private:
  FakeDriver& driver_;
};

class ADOConnectionTest : public ::testing::Test {
 protected:
  ADOConnectionTest() {
    settings_.FSQLServer = "db01";
    settings_.FSQLDatabase = "Zefo";
    settings_.FSQLInlognaam = "kavero";
    settings_.FSQLPaswoord = "geheim";
  }
  TADOConnection MakeADO() {
    return TADOConnection(std::make_unique<FakeOdbcConnection>(driver_),
                          settings_, log_, "FreeTDS");
  }

  FakeDriver driver_;
  Settings settings_;
  RecordingEventSink sink_;
  EventLog log_{sink_};
};

TEST_F(ADOConnectionTest, IncompleteSettingsWarnAndAbortWithoutConnecting) {
  std::string Settings::*const kFields[] = {
      &Settings::FSQLServer, &Settings::FSQLDatabase, &Settings::FSQLPaswoord,
      &Settings::FSQLInlognaam};
  for (auto field : kFields) {
    const std::string kept = settings_.*field;
    settings_.*field = "";
    sink_.Clear();
    TADOConnection ado = MakeADO();
    EXPECT_THROW(ado.Open(), Abort);
    const std::vector<RecordedEvent> want = {
        {"KaveroTCPIP", EventType::kWarning, 1, 0,
         std::string(kSettingsIncomplete)}};
    EXPECT_EQ(sink_.Events(), want);
    EXPECT_FALSE(ado.IsOpen());
    settings_.*field = kept;
  }
  EXPECT_TRUE(driver_.strings.empty());
}

TEST_F(ADOConnectionTest, BlankValuesArePresent) {
  settings_.FSQLPaswoord = " ";
  TADOConnection ado = MakeADO();
  ado.Open();
  ASSERT_EQ(driver_.strings.size(), 1u);
  EXPECT_NE(driver_.strings[0].find("PWD={ };"), std::string::npos);
}

TEST_F(ADOConnectionTest, OpenReportsOnceAndKeepsTheConnection) {
  TADOConnection ado = MakeADO();
  ado.Open();
  ado.Open();
  EXPECT_TRUE(ado.IsOpen());
  EXPECT_EQ(driver_.strings.size(), 1u);
  EXPECT_EQ(sink_.Texts(),
            std::vector<std::string>{std::string(kDatabaseConnected)});
  EXPECT_EQ(ado.ConnectionString(), driver_.strings[0]);

  // A connection the driver reports dead is opened again.
  driver_.dead = true;
  EXPECT_FALSE(ado.IsOpen());
  ado.Open();
  EXPECT_EQ(driver_.strings.size(), 2u);
}

TEST_F(ADOConnectionTest, DriverFailureLeavesItClosedAndSilent) {
  driver_.error = "[FreeTDS][SQL Server]Login failed for user 'kavero'.";
  TADOConnection ado = MakeADO();
  try {
    ado.Open();
    FAIL() << "no exception";
  } catch (const KvxError& e) {
    EXPECT_EQ(std::string(e.what()), driver_.error);
  }
  EXPECT_FALSE(ado.IsOpen());
  EXPECT_TRUE(sink_.Texts().empty());
}

TEST_F(ADOConnectionTest, UnwritableValueIsRefusedWithAWarning) {
  settings_.FSQLPaswoord = "ge};heim";
  TADOConnection ado = MakeADO();
  EXPECT_THROW(ado.Open(), Abort);
  EXPECT_TRUE(driver_.strings.empty());
  EXPECT_EQ(sink_.Texts(),
            std::vector<std::string>{std::string(kSettingsUnwritable)});
}

TEST_F(ADOConnectionTest, CloseReportsOnlyAnOpenConnection) {
  TADOConnection ado = MakeADO();
  ado.Close();
  EXPECT_TRUE(sink_.Texts().empty());
  ado.Open();
  sink_.Clear();
  ado.Close();
  ado.Close();
  EXPECT_EQ(driver_.disconnects, 1);
  EXPECT_EQ(sink_.Texts(),
            std::vector<std::string>{std::string(kDatabaseDisconnected)});
}

}  // namespace
}  // namespace kvx
