#include "tools/monitor_tool.h"

#include <gtest/gtest.h>

#include <string>

#include "fakes/mem_file_system.h"
#include "platform/error.h"
#include "status/xor_cipher.h"
#include "tools/arguments.h"
#include "tools/text_output.h"

namespace kvx {
namespace {

constexpr char kExample[] =
    "3003,20100525143000,SERVER1,FFFFFFFFFF,"
    "##2097024#1802240#1047532#524288#5.1#50#V1.0#9.0.0.7#1##";
const LocalTime kArrival{2026, 1, 31, 14, 3, 7, 45};
const Ipv4Endpoint kFrom{0x7F000001, 40000};

std::string Enciphered(std::string text, std::string_view key) {
  XorTransform(text, key);
  return text;
}

TEST(MonitorToolTest, PrintsEveryFieldOfADatagram) {
  EXPECT_EQ(FormatDatagramLine(kArrival, kFrom, Enciphered(kExample, "Morvek"),
                               "Morvek"),
            "2026-01-31 14:03:07.045 127.0.0.1:40000 3003 heartbeat; "
            "stamp 20100525143000; computer SERVER1; TOSID FFFFFFFFFF; "
            "virtual total 2097024 KiB, free 1802240 KiB; physical total "
            "1047532 KiB, free 524288 KiB; OS 5.1; load 50 %; record V1.0; "
            "program version 9.0.0.7; final 1");
  EXPECT_EQ(
      FormatDatagramJson(kArrival, kFrom, Enciphered(kExample, "Morvek"),
                         "Morvek"),
      R"({"time":"2026-01-31T14:03:07.045","from":"127.0.0.1:40000",)"
      R"("code":3003,"meaning":"heartbeat","stamp":"20100525143000",)"
      R"("computer":"SERVER1","tosid":"FFFFFFFFFF",)"
      R"("mem_virt_total_kib":2097024,"mem_virt_free_kib":1802240,)"
      R"("mem_phys_total_kib":1047532,"mem_phys_free_kib":524288,)"
      R"("os_version":"5.1","memory_load_percent":50,)"
      R"("record_version":"V1.0","program_version":"9.0.0.7","final":"1"})");
}

TEST(MonitorToolTest, ShowsWhatDoesNotDecipherAsHex) {
  const std::string kGarbage("\x00\x01\"\\\xff", 5);
  EXPECT_EQ(FormatDatagramLine(kArrival, kFrom, kGarbage, "Morvek"),
            "2026-01-31 14:03:07.045 127.0.0.1:40000 "
            "unrecognised datagram: 00 01 22 5C FF");
  EXPECT_EQ(FormatDatagramJson(kArrival, kFrom, kGarbage, "Morvek"),
            R"({"time":"2026-01-31T14:03:07.045","from":"127.0.0.1:40000",)"
            R"("unrecognised":"00 01 22 5C FF"})");
  // A datagram of another key is garbage to this one.
  EXPECT_NE(FormatDatagramLine(kArrival, kFrom, Enciphered(kExample, "Other"),
                               "Morvek")
                .find("unrecognised datagram: "),
            std::string::npos);
  EXPECT_NE(FormatDatagramLine(kArrival, kFrom, "", "Morvek")
                .find("unrecognised datagram: "),
            std::string::npos);
}

TEST(MonitorToolTest, EscapesReceivedTexts) {
  // Quotes, backslashes, control bytes and Windows-1252 letters in the
  // TOSID, as a sender with an empty key would send them.
  const std::string text =
      "3000,20100525143000,PC,a\"b\\c\x1b\xe9,"
      "##1#2#3#4#6.1#7#V1.0##1##";
  std::string json = FormatDatagramJson(kArrival, kFrom, text, "");
  EXPECT_NE(json.find(R"("tosid":"a\"b\\c\u001B)"
                      "\xc3\xa9\""),
            std::string::npos)
      << json;
  EXPECT_NE(json.find(R"("program_version":"")"), std::string::npos) << json;
  std::string line = FormatDatagramLine(kArrival, kFrom, text, "");
  EXPECT_NE(line.find("TOSID a\"b\\\\c\\x1B\xc3\xa9;"), std::string::npos)
      << line;
}

TEST(MonitorToolTest, ReadsOptions) {
  MonitorOptions o = ParseMonitorArguments(
      {"--bind=127.0.0.1", "-p", "9999", "--json", "--count", "2", "--timeout",
       "0.5", "--key", "K\xc3\xa9"});
  EXPECT_EQ(o.bind.address, 0x7F000001u);
  EXPECT_EQ(o.bind.port, 9999);
  EXPECT_TRUE(o.json);
  EXPECT_EQ(o.count, 2);
  EXPECT_EQ(o.timeout, std::chrono::milliseconds(500));
  EXPECT_EQ(o.key, "K\xe9");  // Windows-1252, as the service's FKey

  MonitorOptions defaults = ParseMonitorArguments({});
  EXPECT_EQ(defaults.bind.address, 0u);
  EXPECT_EQ(defaults.bind.port, 54200);
  EXPECT_FALSE(defaults.json);
  EXPECT_EQ(defaults.count, 0);
  EXPECT_FALSE(defaults.timeout);

  const std::vector<std::vector<std::string>> kBad = {
      {"--bind", "localhost"},
      {"--port", "0"},
      {"--port", "65536"},
      {"--count", "0"},
      {"--count", "x"},
      {"--timeout", "-1"},
      {"--timeout", "nan"},
      {"--json=yes"},
      {"--key"},
      {"--frobnicate"},
      {"positional"},
      {"--key", "a", "--config", "b"}};
  for (const auto& args : kBad) {
    EXPECT_THROW(ParseMonitorArguments(args), UsageError) << args[0];
  }
}

TEST(MonitorToolTest, TakesTheKeyFromOptionConfigOrTemplate) {
  MemFileSystem files;
  files.AddFile("/etc/kvx/KvxTCPConfig.xml",
                "<?xml version=\"1.0\"?>\r\n<TNCP>\r\n<Key>Geheim</Key>\r\n"
                "</TNCP>\r\n");
  files.AddFile("/etc/kvx/nokey.xml", "<TNCP></TNCP>\r\n");
  EXPECT_EQ(MonitorKey(ParseMonitorArguments({}), files), "Morvek");
  EXPECT_EQ(MonitorKey(ParseMonitorArguments({"-k", "abc"}), files), "abc");
  EXPECT_EQ(MonitorKey(ParseMonitorArguments(
                           {"--config", "/etc/kvx/KvxTCPConfig.xml"}),
                       files),
            "Geheim");
  // As the service reads it: a missing Key element is an empty key.
  EXPECT_EQ(
      MonitorKey(ParseMonitorArguments({"-c", "/etc/kvx/nokey.xml"}), files),
      "");
  EXPECT_THROW(MonitorKey(ParseMonitorArguments({"-c", "/missing.xml"}), files),
               KvxError);
}

}  // namespace
}  // namespace kvx
