// The systemd unit written into a test unit directory.
#include "platform/unit_installer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "fakes/read_file.h"
#include "fakes/temp_dir.h"
#include "platform/error.h"
#include "platform/program.h"

namespace kvx {
namespace {

void WriteWholeFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

class UnitInstallerTest : public ::testing::Test {
 protected:
  UnitInstallerTest() {
    ::setenv("KVX_SYSTEMD_UNIT_DIR", dir_.path().c_str(), 1);
  }
  ~UnitInstallerTest() override { ::unsetenv("KVX_SYSTEMD_UNIT_DIR"); }

  std::string Message(void (*action)()) {
    try {
      action();
    } catch (const KvxError& e) {
      return e.what();
    }
    return "(no error)";
  }

  TempDir dir_;
  std::string unit_ = dir_.path() + "/KaveroTCPIP.service";
};

UnitOptions Options(std::string program_path) {
  UnitOptions options;
  options.program_path = std::move(program_path);
  return options;
}

TEST_F(UnitInstallerTest, InstallsOnceAndUninstallsOnce) {
  EXPECT_EQ(UnitDirectory(), dir_.path());
  UnitOptions options = Options("/opt/kvx/KvxTCPServer");
  options.user = "kavero";
  options.read_write_paths = {"/opt/kvx/KvxTCPIP", "/opt/kvx/KvxTCPConfig.xml"};
  InstallUnit(options);
  EXPECT_EQ(ReadWholeFile(unit_),
            "[Unit]\nDescription=Kavero TCP Server\n\n"
            "[Service]\nType=notify\nExecStart=/opt/kvx/KvxTCPServer\n"
            "ExecReload=/bin/kill -HUP $MAINPID\n"
            "WatchdogSec=30s\nRestart=on-failure\n"
            "User=kavero\nGroup=kavero\n"
            "UMask=0027\nLimitNOFILE=65536\nNoNewPrivileges=yes\n"
            "ProtectSystem=strict\nProtectHome=yes\nPrivateTmp=yes\n"
            "PrivateDevices=yes\nPrivateMounts=yes\n"
            "ProtectKernelTunables=yes\nProtectKernelModules=yes\n"
            "ProtectKernelLogs=yes\nProtectControlGroups=yes\n"
            "ProtectClock=yes\nProtectHostname=yes\nProtectProc=invisible\n"
            "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6 AF_NETLINK\n"
            "RestrictNamespaces=yes\nRestrictRealtime=yes\n"
            "RestrictSUIDSGID=yes\nRemoveIPC=yes\nLockPersonality=yes\n"
            "MemoryDenyWriteExecute=yes\nSystemCallArchitectures=native\n"
            "SystemCallFilter=@system-service\n"
            "SystemCallFilter=~@privileged\nSystemCallErrorNumber=EPERM\n"
            "ReadWritePaths=-/opt/kvx/KvxTCPIP -/opt/kvx/KvxTCPConfig.xml\n"
            "CapabilityBoundingSet=\n\n"
            "[Install]\nWantedBy=multi-user.target\n");

  try {
    InstallUnit(Options("/elsewhere/KvxTCPServer"));
    ADD_FAILURE() << "second install succeeded";
  } catch (const KvxError& e) {
    EXPECT_EQ(std::string(e.what()),
              "The service unit \"" + unit_ + "\" already exists.");
  }
  EXPECT_THAT(ReadWholeFile(unit_),
              ::testing::HasSubstr("/opt/kvx/KvxTCPServer"))
      << "the existing unit must stay unchanged";

  UninstallUnit();
  EXPECT_FALSE(std::filesystem::exists(unit_));
  EXPECT_EQ(Message(UninstallUnit),
            "The service unit \"" + unit_ + "\" does not exist.");
}

TEST_F(UnitInstallerTest, AnUnwritableDirectoryIsACreateFailure) {
  const std::string missing = dir_.path() + "/missing";
  ::setenv("KVX_SYSTEMD_UNIT_DIR", (missing + "/").c_str(), 1);
  EXPECT_EQ(Message([] { InstallUnit(Options("/opt/kvx/KvxTCPServer")); }),
            CannotCreateFileMessage(missing + "/KaveroTCPIP.service", ENOENT));
}

TEST_F(UnitInstallerTest,
       APathAUnitCannotHoldIsRefusedBeforeAnythingIsWritten) {
  UnitOptions options = Options("/opt/kvx/KvxTCPServer");
  options.read_write_paths = {"/data/xml\r\nExecStartPre=/bin/evil"};
  try {
    InstallUnit(options);
    ADD_FAILURE() << "installed";
  } catch (const KvxError& e) {
    EXPECT_EQ(std::string(e.what()),
              "The path \"-/data/xml\r\nExecStartPre=/bin/evil\" cannot be "
              "written into a systemd unit.");
  }
  EXPECT_FALSE(std::filesystem::exists(unit_));
  EXPECT_THROW(UnitFileText(Options("/opt/kvx\n/KvxTCPServer")), KvxError);
}

TEST_F(UnitInstallerTest, DeleteUnitQuietlyRemovesAndNeverThrows) {
  InstallUnit(Options("/opt/kvx/KvxTCPServer"));
  DeleteUnitQuietly();
  EXPECT_FALSE(std::filesystem::exists(unit_));
  EXPECT_NO_THROW(DeleteUnitQuietly());
}

TEST(UnitFileTextTest, ExecStartNamesExactlyTheProgram) {
  const std::pair<std::string, std::string> cases[] = {
      {"/opt/kvx/KvxTCPServer", "ExecStart=/opt/kvx/KvxTCPServer\n"},
      {"/opt/my kvx/KvxTCPServer", "ExecStart=\"/opt/my kvx/KvxTCPServer\"\n"},
      {"/opt/100%$/KvxTCPServer", "ExecStart=/opt/100%%$$/KvxTCPServer\n"},
      {"/opt/a\"b\\c/KvxTCPServer",
       "ExecStart=\"/opt/a\\\"b\\\\c/KvxTCPServer\"\n"},
      {"/opt/Kav\xEFro/KvxTCPServer",
       "ExecStart=/opt/Kav\xC3\xAFro/KvxTCPServer\n"},
  };
  for (const auto& [path, want] : cases) {
    EXPECT_THAT(UnitFileText(Options(path)), ::testing::HasSubstr(want))
        << path;
  }
}

TEST(UnitFileTextTest, UserPathsAndCapabilityFollowTheOptions) {
  using ::testing::HasSubstr;
  using ::testing::Not;
  UnitOptions root = Options("/opt/kvx/KvxTCPServer");
  EXPECT_THAT(UnitFileText(root), Not(HasSubstr("User=")));
  EXPECT_THAT(UnitFileText(root), Not(HasSubstr("ReadWritePaths=")));
  EXPECT_THAT(UnitFileText(root), HasSubstr("\nCapabilityBoundingSet=\n"));
  EXPECT_THAT(UnitFileText(root), Not(HasSubstr("AmbientCapabilities")));

  UnitOptions low = root;
  low.user = "gateway";
  low.bind_low_port = true;
  low.read_write_paths = {"/opt/my kvx/KvxTCPIP", "/data/100%$\"x\"",
                          "/data/Kav\xEFro"};
  const std::string text = UnitFileText(low);
  EXPECT_THAT(text, HasSubstr("\nUser=gateway\nGroup=gateway\n"));
  EXPECT_THAT(text, HasSubstr("\nReadWritePaths=\"-/opt/my kvx/KvxTCPIP\" "
                              "\"-/data/100%%$\\\"x\\\"\" "
                              "-/data/Kav\xC3\xAFro\n"));
  EXPECT_THAT(text, HasSubstr("\nCapabilityBoundingSet=CAP_NET_BIND_SERVICE\n"
                              "AmbientCapabilities=CAP_NET_BIND_SERVICE\n"));
}

TEST(ServiceUserTest, FromTheEnvironmentOrKaveroWhenThatUserExists) {
  ::unsetenv("KVX_SERVICE_USER");
  EXPECT_EQ(ServiceUser(), ::getpwnam("kavero") ? "kavero" : "");
  const std::pair<const char*, const char*> valid[] = {
      {"kavero", "kavero"}, {"", ""}, {"_svc-kvx.1", "_svc-kvx.1"}};
  for (const auto& [value, want] : valid) {
    ::setenv("KVX_SERVICE_USER", value, 1);
    EXPECT_EQ(ServiceUser(), want) << value;
  }
  for (const char* bad : {"kavero\nExecStartPre=/bin/sh", "-kavero", "1kv",
                          "ka vero", "0123456789012345678901234567890123"}) {
    ::setenv("KVX_SERVICE_USER", bad, 1);
    EXPECT_THROW(ServiceUser(), KvxError) << bad;
  }
  ::unsetenv("KVX_SERVICE_USER");
}

// The exposure score of `systemd-analyze security --offline=true`, or -1
// when it cannot be had.
double ExposureOf(const std::string& unit_path) {
  const std::string out = unit_path + ".score";
  const std::string command = "systemd-analyze security --offline=true '" +
                              unit_path + "' >'" + out + "' 2>&1";
  if (std::system(command.c_str()) != 0) return -1;
  const std::string text = ReadWholeFile(out);
  const auto at = text.find("Overall exposure level for ");
  if (at == std::string::npos) return -1;
  const auto colon = text.find(": ", at);
  return std::stod(text.substr(colon + 2));
}

TEST(UnitFileTextTest, TheSandboxScoresTwoOrLessOffline) {
  if (std::system("systemd-analyze --version >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "systemd-analyze is not installed";
  }
  TempDir dir;
  UnitOptions kavero = Options("/opt/kavero/KvxTCPServer");
  kavero.user = "kavero";
  kavero.read_write_paths = {"/opt/kavero/KvxTCPIP",
                             "/opt/kavero/KvxTCPConfig.xml"};
  UnitOptions low_port = kavero;
  low_port.bind_low_port = true;
  UnitOptions root = kavero;
  root.user.clear();
  const std::pair<const char*, UnitOptions> cases[] = {
      {"kavero", kavero}, {"low-port", low_port}, {"root", root}};
  for (const auto& [name, options] : cases) {
    const std::string path = dir.path() + "/" + name + ".service";
    WriteWholeFile(path, UnitFileText(options));
    const double score = ExposureOf(path);
    ASSERT_GE(score, 0) << name << ": " << ReadWholeFile(path + ".score");
    EXPECT_LE(score, 2.0) << name;
  }
}

TEST(ProgramTest, DirectoryIsThatOfTheRunningProgram) {
  const std::string dir = ProgramDirectory();
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ(dir.front(), '/');
  EXPECT_EQ(dir.back(), '/');
  EXPECT_EQ(ProgramPath(), dir + "kvx_platform_tests");
}

}  // namespace
}  // namespace kvx
