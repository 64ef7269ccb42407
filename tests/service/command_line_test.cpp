// Switches of the command line.
#include "service/command_line.h"

#include <gtest/gtest.h>

namespace kvx {
namespace {

TEST(CommandLineTest, RecognisesSwitchesInAnyCaseAndPosition) {
  struct Case {
    std::vector<std::string> args;
    bool install, uninstall, silent, help, version;
    std::string not_a_switch;
  } cases[] = {
      {{}, false, false, false, false, false, ""},
      {{"INSTALL"}, false, false, false, false, false, "INSTALL"},
      {{"/install"}, true, false, false, false, false, ""},
      {{"x", "-Uninstall", "/SILENT", "y"},
       false,
       true,
       true,
       false,
       false,
       "x"},
      {{"--help", "-VERSION"}, false, false, false, true, true, ""},
      {{"-INSTALLER", "-"}, false, false, false, false, false, ""},
      {{"-INSTALL", ""}, true, false, false, false, false, "\"\""},
  };
  for (const auto& c : cases) {
    const CommandLine cmd = ParseCommandLine(c.args);
    const std::string where = ::testing::PrintToString(c.args);
    EXPECT_EQ(cmd.install, c.install) << where;
    EXPECT_EQ(cmd.uninstall, c.uninstall) << where;
    EXPECT_EQ(cmd.silent, c.silent) << where;
    EXPECT_EQ(cmd.help, c.help) << where;
    EXPECT_EQ(cmd.version, c.version) << where;
    EXPECT_EQ(cmd.not_a_switch, c.not_a_switch) << where;
  }
}

}  // namespace
}  // namespace kvx
