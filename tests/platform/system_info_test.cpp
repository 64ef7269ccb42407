// Host information read from Linux, and the rules that shape it.
#include "platform/system_info.h"

#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <cstdio>

namespace kvx {
namespace {

TEST(SystemInfoRulesTest, KernelReleaseGivesMajorDotMinor) {
  struct Case {
    const char* release;
    const char* want;
  } cases[] = {
      {"6.1.0-18-amd64", "6.1"},
      {"5.15.153.1-microsoft", "5.15"},
      {"4.19", "4.19"},
      {"6", "6.0"},
      {"", "0.0"},
      {"6.x", "6.0"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(KernelMajorMinor(c.release), c.want) << c.release;
}

TEST(SystemInfoRulesTest, LoadIsThePercentageInUse) {
  EXPECT_EQ(MemoryLoadPercent(1000, 500), 50);
  EXPECT_EQ(MemoryLoadPercent(1000, 1000), 0);
  EXPECT_EQ(MemoryLoadPercent(1000, 0), 100);
  EXPECT_EQ(MemoryLoadPercent(1000, 931), 6);  // rounded down
  EXPECT_EQ(MemoryLoadPercent(0, 0), 0);
  EXPECT_EQ(MemoryLoadPercent(1000, 2000), 0);
  // Terabytes of memory must not overflow the arithmetic.
  EXPECT_EQ(MemoryLoadPercent(std::uint64_t{1} << 40, std::uint64_t{1} << 39),
            50);
}

TEST(SystemInfoRulesTest, HostNameIsCutAtTheFirstDotAndFifteenCharacters) {
  struct Case {
    std::string host, want;
  } cases[] = {
      {"server1", "server1"},
      {"server1.example.com", "server1"},
      {"averyveryverylonghostname", "averyveryverylo"},
      {"fifteen-chars-x.lan", "fifteen-chars-x"},
      {".local", "(Unknown)"},
      {"", "(Unknown)"},
      {"caf\xC3\xA9", "caf\xE9"},  // UTF-8 becomes Windows-1252
  };
  for (const auto& c : cases)
    EXPECT_EQ(ComputerNameFromHostName(c.host), c.want) << c.host;
}

TEST(LinuxSystemInfoTest, ReadsPlausibleFiguresFromThisHost) {
  LinuxSystemInfo info;
  std::uint64_t virt_total = info.MemVirtTotal();
  std::uint64_t virt_free = info.MemVirtFree();
  std::uint64_t phys_total = info.MemPhysTotal();
  std::uint64_t phys_free = info.MemPhysFree();
  EXPECT_GT(virt_total, 0u);
  EXPECT_GT(virt_free, 0u);
  EXPECT_LT(virt_free, virt_total) << "the test program itself uses some";
  EXPECT_GT(phys_total, 0u);
  EXPECT_GT(phys_free, 0u);
  EXPECT_LE(phys_free, phys_total);

  int load = -1;
  char sign = 0;
  std::string loaded = info.MemoryLoaded();
  ASSERT_EQ(std::sscanf(loaded.c_str(), "%d %c", &load, &sign), 2) << loaded;
  EXPECT_EQ(loaded, std::to_string(load) + " %");
  EXPECT_GE(load, 0);
  EXPECT_LE(load, 100);

  utsname names{};
  ASSERT_EQ(::uname(&names), 0);
  std::string version = info.VersionWIN();
  std::string release = names.release;
  EXPECT_EQ(release.substr(0, version.size()), version);
  EXPECT_NE(version.find('.'), std::string::npos);

  std::string name = info.Computername();
  EXPECT_FALSE(name.empty());
  EXPECT_LE(name.size(), 15u);
  EXPECT_EQ(name.find('.'), std::string::npos);
}

}  // namespace
}  // namespace kvx
