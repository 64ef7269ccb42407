// Windows-1252, UTF-8 and UTF-16 conversions.
#include "core/codepage.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace kvx
