// The systemd unit written into a test unit directory.
#include "platform/unit_installer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "fakes/read_file.h"
#include "fakes/temp_dir.h"
#include "platform/error.h"
#include "platform/program.h"

namespace kvx {
namespace {

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

TEST_F(UnitInstallerTest, InstallsOnceAndUninstallsOnce) {
  EXPECT_EQ(UnitDirectory(), dir_.path());
  InstallUnit("/opt/kvx/KvxTCPServer");
  EXPECT_EQ(ReadWholeFile(unit_),
            "[Unit]\nDescription=Kavero TCP Server\n\n"
            "[Service]\nType=notify\nExecStart=/opt/kvx/KvxTCPServer\n\n"
            "[Install]\nWantedBy=multi-user.target\n");

  try {
    InstallUnit("/elsewhere/KvxTCPServer");
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
  EXPECT_EQ(Message([] { InstallUnit("/opt/kvx/KvxTCPServer"); }),
            CannotCreateFileMessage(missing + "/KaveroTCPIP.service", ENOENT));
}

TEST_F(UnitInstallerTest, DeleteUnitQuietlyRemovesAndNeverThrows) {
  InstallUnit("/opt/kvx/KvxTCPServer");
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
    EXPECT_THAT(UnitFileText(path), ::testing::HasSubstr(want)) << path;
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
