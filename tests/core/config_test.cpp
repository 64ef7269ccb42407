// The number rule and the tag reader of the configuration file.
#include "core/config.h"

#include <gtest/gtest.h>

namespace kvx {
namespace {

TEST(NumberRuleTest, ConvertsEveryDocumentedForm) {
  struct Case {
    const char* text;
    std::int32_t want;
  } cases[] = {
      {"10000", 10000},
      {" 9200", 9200},
      {"9200 ", 9200},
      {"9200abc", 9200},
      {"$2710", 10000},
      {"x2710", 10000},
      {"X2710", 10000},
      {"0x2710", 10000},
      {"0X2710", 10000},
      {"-5", -5},
      {"-5 ", 5},
      {"+8", 8},
      {"abc", 0},
      {"", 0},
      {"-", 0},
      {"70000", 70000},
      {"\t9200", 0},
      {"2147483647", 2147483647},
      {"2147483648", -2147483647 - 1},
      {"2147483649", -2147483647},
      {"$fFfFfFf", 0x0FFFFFFF},
      {"$FFFFFFFF", -1},
      {"-$10", -16},
      {"0", 0},
      {"2500", 2500},
  };
  for (const auto& c : cases) EXPECT_EQ(NumberRule(c.text), c.want) << c.text;
}

TEST(ReadXMLTagTest, FindsValuesByPlainTextSearch) {
  struct Case {
    const char* file;
    const char* tag;
    const char* want;
  } cases[] = {
      {"<Port>9200</Port>", "Port", "9200"},
      {"<port>9200</port>", "Port", ""},
      {"</Key>\n<Key>abc", "Key", ""},
      {"<Key>\nabc\n</Key>", "Key", "\r\nabc\r\n"},
      {"<!-- <Port>1234</Port> -->\n<Port>9200</Port>", "Port", "1234"},
      {"<SQLDatabase/>", "SQLDatabase", ""},
      {"<SQLDatabase></SQLDatabase>", "SQLDatabase", ""},
      {"<TNCPKey>x</TNCPKey>", "Key", ""},
      {"<a><Key> x <b/> </Key></a>", "Key", " x <b/> "},
      {"<Key>one</Key><Key>two</Key>", "Key", "one"},
      {"<Key>open only", "Key", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ReadXMLTag(LineList(c.file), c.tag), c.want) << c.file;
  }
}

// The optional disk settings: missing or empty keeps the designed
// behaviour; switches only for exactly True; retention below 1 keeps all.
TEST(ReadDiskSettingsTest, ReadsOptionalElementsWithTheirDefaults) {
  const struct {
    const char* file;
    bool sync;
    std::int32_t min_free_mb, archive_days, log_days;
    bool daily;
  } kCases[] = {
      {"<Output></Output>", false, 1024, 0, 0, false},
      {"<ArchiveSync>True</ArchiveSync><TrafficLogDaily>True</TrafficLogDaily>",
       true, 1024, 0, 0, true},
      {"<ArchiveSync>true</ArchiveSync><TrafficLogDaily>True "
       "</TrafficLogDaily>",
       false, 1024, 0, 0, false},
      {"<MinFreeDiskMB>0</MinFreeDiskMB>", false, 0, 0, 0, false},
      {"<MinFreeDiskMB></MinFreeDiskMB>", false, 1024, 0, 0, false},
      {"<MinFreeDiskMB>$100</MinFreeDiskMB>", false, 256, 0, 0, false},
      {"<ArchiveRetentionDays>30</ArchiveRetentionDays>"
       "<LogRetentionDays> 7</LogRetentionDays>",
       false, 1024, 30, 7, false},
      {"<ArchiveRetentionDays>-3</ArchiveRetentionDays>"
       "<LogRetentionDays>0</LogRetentionDays>",
       false, 1024, 0, 0, false},
  };
  for (const auto& c : kCases) {
    Settings settings;
    ReadDiskSettings(LineList(c.file), settings);
    EXPECT_EQ(settings.FArchiveSync, c.sync) << c.file;
    EXPECT_EQ(settings.FMinFreeDiskMB, c.min_free_mb) << c.file;
    EXPECT_EQ(settings.FArchiveRetentionDays, c.archive_days) << c.file;
    EXPECT_EQ(settings.FLogRetentionDays, c.log_days) << c.file;
    EXPECT_EQ(settings.FTrafficLogDaily, c.daily) << c.file;
  }
}

}  // namespace
}  // namespace kvx
