// The host information record and the compiled-in program version.
#include "status/computer_pakket.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

#include "fakes/fake_system_info.h"

namespace kvx {
namespace {

TEST(ComputerPakketTest, JoinsNineValuesBetweenTenHashes) {
  struct Case {
    std::string load, version, want;
  } cases[] = {
      {"50 %", "9.0.0.7",
       "#2097024#1802240#1047532#524288#5.1#50#V1.0#9.0.0.7#1#"},
      {"7 %", "9.0.0.7",
       "#2097024#1802240#1047532#524288#5.1#7#V1.0#9.0.0.7#1#"},
      // Before the start handler has read the version.
      {"50 %", "", "#2097024#1802240#1047532#524288#5.1#50#V1.0##1#"},
      // Every " %" goes, and only that exact pair.
      {"1 %0 % %", "", "#2097024#1802240#1047532#524288#5.1#10#V1.0##1#"},
      {"5%", "", "#2097024#1802240#1047532#524288#5.1#5%#V1.0##1#"},
  };
  for (const auto& c : cases) {
    FakeSystemInfo info;
    info.load = c.load;
    std::string record = ComputerPakket(info, c.version);
    EXPECT_EQ(record, c.want) << c.load << " / " << c.version;
    EXPECT_EQ(std::count(record.begin(), record.end(), '#'), 10);
  }
}

TEST(ComputerPakketTest, QueriesTheSixValuesAfreshAndNotTheName) {
  FakeSystemInfo info;
  info.virt_total = 0;
  info.phys_free = 18446744073709551615u;  // the largest 64-bit figure
  info.version = "6.1";
  EXPECT_EQ(ComputerPakket(info, "1.0.0.1"),
            "#0#1802240#1047532#18446744073709551615#6.1#50#V1.0#1.0.0.1#1#");
  EXPECT_EQ(info.queries, 6);
  info.virt_free = 1;
  EXPECT_EQ(ComputerPakket(info, "").substr(0, 5), "#0#1#");
}

TEST(ComputerPakketTest, VersionIsTheFourPartBuildVersion) {
  std::string version = GetVersionString();
  EXPECT_TRUE(std::regex_match(version, std::regex(R"(\d+\.\d+\.\d+\.\d+)")))
      << version;
  EXPECT_EQ(version, std::to_string(KVX_VERSION_MAJOR) + "." +
                         std::to_string(KVX_VERSION_MINOR) + "." +
                         std::to_string(KVX_VERSION_PATCH) + "." +
                         std::to_string(KVX_VERSION_TWEAK));
}

}  // namespace
}  // namespace kvx
