// Code page, line-list and stamp rules.
#include <gtest/gtest.h>

#include "fakes/mem_file_system.h"
#include "platform/codepage.h"
#include "platform/error.h"
#include "platform/line_list.h"
#include "platform/stamps.h"

namespace kvx {
namespace {

TEST(CodePageTest, EveryByteSurvivesARoundTripThroughUtf8) {
  std::string all;
  for (int b = 1; b < 256; ++b) all += static_cast<char>(b);
  EXPECT_EQ(Utf8ToCp1252(Cp1252ToUtf8(all)), all);
}

TEST(CodePageTest, ConvertsTheWindowsRangeAndReplacesTheRest) {
  EXPECT_EQ(Cp1252ToUtf8("\x80"), "\xE2\x82\xAC");  // euro sign
  EXPECT_EQ(Cp1252ToUtf8("g\xEF"), "g\xC3\xAF");    // i with diaeresis
  EXPECT_EQ(Utf8ToCp1252("\xE2\x82\xAC"), "\x80");
  EXPECT_EQ(Utf8ToCp1252("\xE4\xB8\xAD"), "?");  // CJK: none in 1252
  EXPECT_EQ(Utf8ToCp1252("a\xC3"), "a?");        // truncated
  EXPECT_EQ(Utf8ToCp1252("\xFF"
                         "b"),
            "?b");                                   // invalid lead
  EXPECT_EQ(Utf8ToCp1252("\xF0\x9F\x98\x80"), "?");  // beyond the BMP
  EXPECT_EQ(ToUsAscii(std::string("a\x80\xFF\x7F\0", 5)),
            std::string("a??\x7F\0", 5));
}

TEST(CodePageTest, AppendsUtf8OfOneToFourBytesAtTheBoundaries) {
  const struct {
    char32_t code_point;
    const char* want;
  } kCases[] = {
      {U'\x7F', "\x7F"},
      {U'\x80', "\xC2\x80"},
      {U'\x7FF', "\xDF\xBF"},
      {U'\x800', "\xE0\xA0\x80"},
      {U'\xFFFF', "\xEF\xBF\xBF"},
      {U'\x10000', "\xF0\x90\x80\x80"},
      {U'\x10FFFF', "\xF4\x8F\xBF\xBF"},
  };
  for (const auto& c : kCases) {
    std::string out = "a";
    AppendUtf8(out, c.code_point);
    EXPECT_EQ(out, std::string("a") + c.want)
        << std::hex << static_cast<unsigned>(c.code_point);
  }
}

TEST(CodePageTest, DecodesFilesByTheirByteOrderMark) {
  struct Case {
    std::string bytes, want;
  } cases[] = {
      {std::string("\xFF\xFE<\0K\0\xEF\0", 8), "<K\xEF"},
      {std::string("\xFE\xFF\0<\0K\0\xEF", 8), "<K\xEF"},
      {"\xEF\xBB\xBF<K\xC3\xAF", "<K\xEF"},
      {"<K\xC3\xAF", "<K\xC3\xAF"},  // UTF-8 without a mark: read as 1252
      {"", ""},
  };
  for (const auto& c : cases)
    EXPECT_EQ(DecodeFileText(c.bytes), c.want) << c.bytes;
}

TEST(LineListTest, SplitsAndJoinsAsTheRuleSays) {
  struct Case {
    std::string text, joined;
    std::size_t lines;
  } cases[] = {
      {"", "", 0},
      {"a", "a\r\n", 1},
      {"a\r\n", "a\r\n", 1},
      {"a\rb\nc\r\nd", "a\r\nb\r\nc\r\nd\r\n", 4},
      {"A\r\r\nB", "A\r\n\r\nB\r\n", 3},
      {"A\n\rB", "A\r\n\r\nB\r\n", 3},
      {"\r\n", "\r\n", 1},
      {std::string("ab\0cd\r\n", 7), "ab\r\n", 1},
      {std::string("\0x", 2), "", 0},
      {"\n\r", "\r\n\r\n", 2},
      {"\r\r", "\r\n\r\n", 2},
      {"ab\r", "ab\r\n", 1},
      {std::string("a\r\0\n", 4), "a\r\n", 1},
  };
  for (const auto& c : cases) {
    LineList list(c.text);
    EXPECT_EQ(list.Text(), c.joined) << c.text;
    EXPECT_EQ(list.Lines().size(), c.lines) << c.text;
    // The one-pass form gives the same text.
    EXPECT_EQ(LineListText(c.text), c.joined) << c.text;
  }
}

TEST(LineListTest, SavesJoinedAndLoadsThroughTheMark) {
  MemFileSystem fs;
  fs.AddDirectory("/d");
  SaveLineList(fs, "/d/f.txt", LineList("x\ny"));
  EXPECT_EQ(fs.Content("/d/f.txt"), "x\r\ny\r\n");
  SaveLineListText(fs, "/d/g.txt", "x\ny");
  EXPECT_EQ(fs.Content("/d/g.txt"), "x\r\ny\r\n");
  fs.AddFile("/d/u16.txt", std::string("\xFF\xFEx\0\n\0y\0", 8));
  EXPECT_EQ(LoadLineList(fs, "/d/u16.txt").Text(), "x\r\ny\r\n");
}

TEST(LineListTest, ReportsFilesThatCannotBeCreatedOrOpened) {
  MemFileSystem fs;
  try {
    SaveLineList(fs, "/missing/f.txt", LineList("x"));
    FAIL();
  } catch (const KvxError& e) {
    EXPECT_STREQ(e.what(),
                 "Cannot create file \"/missing/f.txt\". No such file or "
                 "directory.");
  }
  try {
    LoadLineList(fs, "/nope.xml");
    FAIL();
  } catch (const KvxError& e) {
    EXPECT_STREQ(e.what(),
                 "Cannot open file \"/nope.xml\". No such file or directory.");
  }
}

TEST(StampTest, FormatsFileAndDatagramStamps) {
  EXPECT_EQ(FileStamp({2010, 5, 25, 14, 3, 7, 999}), "2505201014030757");
  EXPECT_EQ(FileStamp({2010, 12, 9, 8, 5, 42, 0}), "091220100805421242");
  EXPECT_EQ(FileStamp({2010, 1, 1, 0, 0, 0, 0}), "0101201000000010");
  EXPECT_EQ(DatagramStamp({2010, 5, 25, 14, 3, 7, 0}), "20100525140307");
  EXPECT_EQ(DatagramStamp({2026, 12, 9, 8, 5, 42, 0}), "20261209080542");
}

}  // namespace
}  // namespace kvx
