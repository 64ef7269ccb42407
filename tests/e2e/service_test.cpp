// The service host end to end: the built program started, signalled,
// installed and uninstalled in a temporary program directory.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>

#include "core/codepage.h"
#include "e2e/harness.h"
#include "e2e/operator_texts.h"
#include "fakes/notify_socket.h"
#include "fakes/temp_dir.h"

namespace kvx::e2e {
namespace {

using ::testing::ElementsAre;
using namespace std::chrono_literals;
using ::testing::ElementsAreArray;

constexpr char kConfig[] = "KvxTCPConfig.xml";
constexpr char kReadme[] = "KvxTCPIP/Config/readme.xml";

// A configuration without a listener, so that the lifecycle entries are the
// only ones.
void WriteQuietConfig(const ServiceProcess& service) {
  service.WriteFile(kConfig,
                    ConfigWith(Utf8ToCp1252(service.dir()), {{"Port", "0"}}));
}

struct DirectoryCase {
  const char* label;
  const char* name;  // UTF-8
};
void PrintTo(const DirectoryCase& c, std::ostream* os) { *os << c.label; }

class FirstStartTest : public ::testing::TestWithParam<DirectoryCase> {};

TEST_P(FirstStartTest, WritesTheTreeAndBothTemplatesByteExact) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  ServiceProcess service(GetParam().name);
  service.Start();
  ASSERT_TRUE(service.WaitForEvent(kStarted)) << service.Stderr();

  const auto events = service.Events();
  ASSERT_GE(events.size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(events[i].source, "KaveroTCPIP");
    EXPECT_EQ(events[i].type, 4);
    EXPECT_EQ(events[i].id, 1);
    EXPECT_EQ(events[i].category, 0);
  }
  EXPECT_EQ(events[0].text, kInstalledConfig);
  EXPECT_EQ(events[1].text, kStarted);

  // Line 16 names the program directory in Windows-1252.
  const std::string want = TemplateText(Utf8ToCp1252(service.dir()));
  EXPECT_EQ(service.ReadFile(kConfig), want);
  EXPECT_EQ(service.ReadFile(kReadme), want);
  for (const char* dir : {"KvxTCPIP/Logs", "KvxTCPIP/Config", "KvxTCPIP/XML"}) {
    EXPECT_TRUE(std::filesystem::is_directory(service.dir() + dir)) << dir;
  }
  EXPECT_FALSE(std::filesystem::exists(service.dir() + "KvxTCPData"));

  service.Signal(SIGTERM);
  EXPECT_EQ(service.WaitForExit(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    ProgramDirectories, FirstStartTest,
    ::testing::Values(DirectoryCase{"Ascii", "prog"},
                      DirectoryCase{"NonAsciiWithBlank", "Kav\xC3\xAFro dir"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(ServiceStartTest, AMissingConfigurationIsWrittenAgainAndTheRestKept) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  ServiceProcess service;
  service.Start();
  ASSERT_TRUE(service.WaitForEvent(kStarted));
  service.Signal(SIGTERM);
  ASSERT_EQ(service.WaitForExit(), 0);
  service.WriteFile(kReadme, "mine");
  std::filesystem::remove(service.dir() + kConfig);
  const std::size_t before = service.Events().size();

  service.Start();
  ASSERT_TRUE(service.WaitForEvent(kStarted));
  service.Signal(SIGTERM);
  ASSERT_EQ(service.WaitForExit(), 0);

  const auto texts = service.Texts();
  EXPECT_THAT(std::vector<std::string>(texts.begin() + before, texts.end()),
              ElementsAre(kInstalledConfig, kStarted,
                          ListenerStartedText("127.0.0.1", 9200), kStopped));
  EXPECT_EQ(service.ReadFile(kReadme), "mine");
  EXPECT_EQ(service.ReadFile(kConfig),
            TemplateText(Utf8ToCp1252(service.dir())));
}

struct ControlCase {
  const char* name;
  // Each signal, and the entry it must produce ("" for none).
  std::vector<std::pair<int, const char*>> steps;
  std::vector<std::string> want_texts;
};

void PrintTo(const ControlCase& c, std::ostream* os) { *os << c.name; }

class ControlTest : public ::testing::TestWithParam<ControlCase> {};

TEST_P(ControlTest, EachRequestWritesItsEntryInOrder) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  ServiceProcess service;
  WriteQuietConfig(service);
  service.Start();
  ASSERT_TRUE(service.WaitForEvent(kStarted)) << service.Stderr();
  for (const auto& [sig, entry] : GetParam().steps) {
    // One request at a time: a pending SIGTSTP is discarded by the kernel
    // when SIGCONT is sent, so the pause must have been taken first.
    service.Signal(sig);
    if (*entry != '\0') {
      ASSERT_TRUE(service.WaitForEvent(entry)) << "signal " << sig;
    }
  }
  EXPECT_EQ(service.WaitForExit(), 0);
  EXPECT_THAT(service.Texts(), ElementsAreArray(GetParam().want_texts));
}

INSTANTIATE_TEST_SUITE_P(
    Signals, ControlTest,
    ::testing::Values(
        ControlCase{"PauseContinueInterrogateStop",
                    {{SIGTSTP, kPaused},
                     {SIGCONT, kContinued},
                     {SIGUSR1, ""},
                     {SIGTERM, kStopped}},
                    {kStarted, kPortZero, kPaused, kContinued, kStopped}},
        ControlCase{"PauseThenStop",
                    {{SIGTSTP, kPaused}, {SIGTERM, kStopped}},
                    {kStarted, kPortZero, kPaused, kStopped}},
        ControlCase{
            "Interrupt", {{SIGINT, kStopped}}, {kStarted, kPortZero, kStopped}},
        ControlCase{"Shutdown",
                    {{SIGPWR, kShutdown}},
                    {kStarted, kPortZero, kShutdown}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ServiceStartTest, AWorkingTreeThatCannotBeCreatedStopsTheStart) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  ServiceProcess service;
  // A file where the tree's root belongs: no directory below it can be made.
  service.WriteFile("KvxTCPIP", "");
  service.Start();
  const auto exit_status = service.WaitForExit();
  ASSERT_TRUE(exit_status.has_value());
  EXPECT_NE(*exit_status, 0);

  const auto events = service.Events();
  ASSERT_EQ(events.size(), 1u) << ::testing::PrintToString(service.Texts());
  EXPECT_EQ(events[0].text, "Service failed on start: Cannot create file \"" +
                                service.dir() + kReadme +
                                "\". Not a directory.");
  EXPECT_EQ(events[0].source, "KaveroTCPIP");
  EXPECT_EQ(events[0].type, 1);
  EXPECT_EQ(events[0].id, 0);
  EXPECT_FALSE(std::filesystem::exists(service.dir() + kConfig));
}

class InstallTest : public ::testing::Test {
 protected:
  std::string UnitPath() const {
    return service_.unit_dir() + "/KaveroTCPIP.service";
  }
  std::string Failure(const char* action, const std::string& error) const {
    return "Service \"Kavero TCP Server\" failed to " + std::string(action) +
           " with error: \"" + error + "\"\n";
  }

  ServiceProcess service_;
};

TEST_F(InstallTest, InstallTwiceThenUninstallTwice) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  RunResult r = service_.Run({"-INSTALL"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out, "Service installed successfully\n");
  EXPECT_EQ(r.err, "");
  EXPECT_THAT(ReadWholeFile(UnitPath()),
              ::testing::HasSubstr("\nExecStart=" + service_.program() + "\n"));
  EXPECT_THAT(ReadWholeFile(UnitPath()),
              ::testing::HasSubstr("\nReadWritePaths=-" + service_.dir() +
                                   "KvxTCPIP -" + service_.dir() + kConfig +
                                   " -" + service_.dir() + "KvxTCPData\n"));
  // The install prepares the tree but reports only its own entry.
  EXPECT_EQ(service_.ReadFile(kConfig),
            TemplateText(Utf8ToCp1252(service_.dir())));
  EXPECT_THAT(service_.Texts(), ElementsAre(kInstalled));

  r = service_.Run({"/install"});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, Failure("install", "The service unit \"" + UnitPath() +
                                          "\" already exists."));
  EXPECT_THAT(service_.Texts(), ElementsAre(kInstalled))
      << "a failed install must not run the after-install step";

  r = service_.Run({"-UNINSTALL"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out, "Service uninstalled successfully\n");
  EXPECT_EQ(r.err, "");
  EXPECT_FALSE(std::filesystem::exists(UnitPath()));
  EXPECT_TRUE(std::filesystem::exists(service_.dir() + kConfig));

  r = service_.Run({"-UNINSTALL"});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, Failure("uninstall", "The service unit \"" + UnitPath() +
                                            "\" does not exist."));
  EXPECT_THAT(service_.Texts(),
              ElementsAre(kInstalled, kUninstalled, kUninstalled));
}

TEST_F(InstallTest, SilentReportsOnlyFailures) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  RunResult r = service_.Run({"-SILENT", "-INSTALL"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out, "");
  r = service_.Run({"-install", "-silent"});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_THAT(r.err, ::testing::HasSubstr("already exists"));
  r = service_.Run({"-UNINSTALL", "/SILENT"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out, "");
}

// A bare word is no switch: the program says so and starts nothing, where
// it would otherwise have run the gateway in the foreground.
TEST_F(InstallTest, AnArgumentThatIsNotASwitchIsRefused) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"INSTALL"}, {"-SILENT", "uninstall"}}) {
    const RunResult r = service_.Run(args);
    EXPECT_EQ(r.exit_status, 64) << args[0];
    EXPECT_EQ(r.out, "");
    EXPECT_THAT(r.err, ::testing::HasSubstr("is not a switch."));
    EXPECT_THAT(r.err, ::testing::HasSubstr("Usage: KvxTCPServer [-INSTALL"));
  }
  EXPECT_FALSE(std::filesystem::exists(UnitPath()));
  EXPECT_FALSE(std::filesystem::exists(service_.dir() + kConfig))
      << "nothing may start: not even the working tree is prepared";
  EXPECT_THAT(service_.Texts(), ::testing::IsEmpty());
}

TEST_F(InstallTest, AnInstallWhoseTreeCannotBeWrittenIsUndone) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  service_.WriteFile("KvxTCPIP", "");
  const RunResult r = service_.Run({"-INSTALL"});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, Failure("install", "Cannot create file \"" + service_.dir() +
                                          kReadme + "\". Not a directory."));
  EXPECT_FALSE(std::filesystem::exists(UnitPath()));
  EXPECT_THAT(service_.Texts(), ::testing::IsEmpty());
}

// The service manager's watchdog, stood in for by a socket: READY=1, then a
// ping every half interval while the service idles.
TEST(ServiceWatchdogTest, TheRunningServicePingsAtHalfTheInterval) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  TempDir dir;
  const std::string socket_path = dir.path() + "/notify";
  NotifySocket systemd(socket_path);
  ServiceProcess service;
  service.Start({},
                {{"NOTIFY_SOCKET", socket_path}, {"WATCHDOG_USEC", "400000"}});
  std::vector<std::string> datagrams;
  int pings = 0;
  const auto until = std::chrono::steady_clock::now() + 10s;
  while (pings < 3 && std::chrono::steady_clock::now() < until) {
    const std::string d = systemd.Receive();
    if (d == "WATCHDOG=1") {
      ++pings;
    } else if (!d.empty()) {
      datagrams.push_back(d);
    }
  }
  EXPECT_EQ(pings, 3);
  EXPECT_THAT(datagrams, ::testing::Contains("READY=1\nSTATUS=running"));
  EXPECT_TRUE(service.Stop());
}

}  // namespace
}  // namespace kvx::e2e
