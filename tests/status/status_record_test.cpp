#include "status/status_record.h"

#include <gtest/gtest.h>

#include <string>

#include "fakes/fake_system_info.h"
#include "status/computer_pakket.h"
#include "status/status_datagram.h"
#include "status/xor_cipher.h"

namespace kvx {
namespace {

constexpr char kExample[] =
    "3003,20100525143000,SERVER1,FFFFFFFFFF,"
    "##2097024#1802240#1047532#524288#5.1#50#V1.0#9.0.0.7#1##";

HostRecord ExampleRecord(std::string program_version = "9.0.0.7") {
  return {2097024, 1802240, 1047532, 524288,
          "5.1",   50,      "V1.0",  std::move(program_version),
          "1"};
}

TEST(StatusRecordTest, ParsesWellFormedTexts) {
  struct Case {
    std::string text;
    StatusFields want;
  };
  const Case kCases[] = {
      {kExample,
       {3003, "20100525143000", "SERVER1", "FFFFFFFFFF", ExampleRecord()}},
      // Empty TOSID: two commas in a row.
      {"3000,20100525143000,SERVER1,,"
       "##2097024#1802240#1047532#524288#5.1#50#V1.0#9.0.0.7#1##",
       {3000, "20100525143000", "SERVER1", "", ExampleRecord()}},
      // Start datagram: no program version yet.
      {"3000,20100525143000,SERVER1,FFFFFFFFFF,"
       "##2097024#1802240#1047532#524288#5.1#50#V1.0##1##",
       {3000, "20100525143000", "SERVER1", "FFFFFFFFFF", ExampleRecord("")}},
      // Commas and "#" in the TOSID stay with it; an unknown code parses.
      {"3999,20100525143000,(UNKNOWN),A,B#C,"
       "##2097024#1802240#1047532#524288#5.1#50#V1.0#9.0.0.7#1##",
       {3999, "20100525143000", "(UNKNOWN)", "A,B#C", ExampleRecord()}},
  };
  for (const Case& c : kCases) {
    std::optional<StatusFields> got = ParseStatusText(c.text);
    ASSERT_TRUE(got.has_value()) << c.text;
    EXPECT_EQ(*got, c.want) << c.text;
  }
  EXPECT_EQ(std::string(kExample).size(), 95u);
}

TEST(StatusRecordTest, RefusesTextsOfAnotherForm) {
  const std::string kRecord =
      "##2097024#1802240#1047532#524288#5.1#50#V1.0#9.0.0.7#1##";
  const std::string kCases[] = {
      "",
      "#",
      "##",
      "############",
      "garbage \x01\x7f that is no datagram",
      "3003,20100525143000,SERVER1,FFFFFFFFFF",
      "3003,20100525143000,SERVER1" + kRecord,           // no TOSID field
      "3003,2010052514300,SERVER1,X," + kRecord,         // 13-digit stamp
      "3003,2010052514300a,SERVER1,X," + kRecord,        // stamp not digits
      "30x3,20100525143000,SERVER1,X," + kRecord,        // code not digits
      ",20100525143000,SERVER1,X," + kRecord,            // no code
      "1234567890,20100525143000,SERVER1,X," + kRecord,  // code too long
      "3003,20100525143000,SERVER1,X,#" + kRecord,       // ten values
      "3003,20100525143000,SERVER1,X,##1#2#3#4#5.1#50#V1.0#1##",  // eight
      "3003,20100525143000,SERVER1,X,##1#2#3#-4#5.1#50#V1.0#9#1##",
      "3003,20100525143000,SERVER1,X,##1#2#3##5.1#50#V1.0#9#1##",
      "3003,20100525143000,SERVER1,X,##1#2#3#4#5.1#50 %#V1.0#9#1##",
      "3003,20100525143000,SERVER1,X,##99999999999999999999#2#3#4#5.1#50#V1.0#"
      "9#"
      "1##",  // figure beyond 64 bits
      "3003,20100525143000,SERVER1,X," + kRecord + "x",
  };
  for (const std::string& c : kCases) {
    EXPECT_FALSE(ParseStatusText(c).has_value()) << c;
  }
}

TEST(StatusRecordTest, ReadsWhatTheSenderComposes) {
  FakeSystemInfo info;
  info.load = "7 %";
  const std::string record = ComputerPakket(info, "1.0.0.1");
  const std::string text =
      DatagramText(kStatusHeartbeat, LocalTime{2026, 1, 31, 9, 5, 7, 0},
                   UpperCaseComputerName(info.name), "FFFFFFFFFF", record);

  std::string enciphered = text;
  XorTransform(enciphered, "Morvek");
  std::optional<StatusFields> got = ParseStatusDatagram(enciphered, "Morvek");
  ASSERT_TRUE(got.has_value()) << text;
  EXPECT_EQ(got->code, kStatusHeartbeat);
  EXPECT_EQ(got->stamp, "20260131090507");
  EXPECT_EQ(got->computer_name, "SERVER1");
  EXPECT_EQ(got->record.memory_load, 7u);
  EXPECT_EQ(got->record.program_version, "1.0.0.1");

  // The wrong key does not give a datagram back.
  EXPECT_FALSE(ParseStatusDatagram(enciphered, "Other").has_value());
  EXPECT_FALSE(ParseStatusDatagram(enciphered, "").has_value());
}

TEST(StatusRecordTest, NamesTheCodes) {
  EXPECT_EQ(StatusCodeMeaning(3000), "start or continue");
  EXPECT_EQ(StatusCodeMeaning(3001), "shutdown");
  EXPECT_EQ(StatusCodeMeaning(3002), "pause");
  EXPECT_EQ(StatusCodeMeaning(3003), "heartbeat");
  EXPECT_EQ(StatusCodeMeaning(3004), "unknown");
}

}  // namespace
}  // namespace kvx
