#include "core/frame.h"

#include <gtest/gtest.h>

#include <string>

namespace kvx {
namespace {

using namespace std::string_literals;

TEST(FrameTest, BuildsTheShortestEnvelopeByteForByte) {
  const std::string want = "\x01\x38\x02\x50\x45\x31\x54\x52\x79\x38\x2B\x04"s;
  EXPECT_EQ(BuildFrame("<MSG/>"), want);
  const UnpackedFrame got = UnpackFirstFrame(want);
  EXPECT_EQ(got.found, UnpackedFrame::Found::kFrame);
  EXPECT_EQ(got.length, 8);
  EXPECT_EQ(got.message, "<MSG/>");
}

TEST(FrameTest, EncodesStandardBase64) {
  const struct {
    std::string in, want;
  } kCases[] = {{"", ""},
                {"a", "YQ=="},
                {"ab", "YWI="},
                {"abc", "YWJj"},
                {"\xFF\x00\x80"s, "/wCA"},
                {"\xFB\xEF\xBE"s, "++++"}};
  for (const auto& c : kCases) EXPECT_EQ(EncodeBase64(c.in), c.want) << c.in;
}

TEST(FrameTest, DecodesWithTheFrameRules) {
  const struct {
    std::string in, want;
  } kCases[] = {
      {"YWJj", "abc"},
      {"/wCA", "\xFF\x00\x80"s},
      // One to three trailing characters are ignored.
      {"YWJjY", "abc"},
      {"YWJjYW", "abc"},
      {"YWJjYWJ", "abc"},
      {"YWI", ""},
      // "=" in the third or fourth place stops and shortens the whole
      // output; later groups stay zero.
      {"YQ==", "a"},
      {"YWI=", "ab"},
      {"YQ==YWJj", "a\0\0\0"s},
      {"YWI=YWJj", "ab\0\0\0"s},
      // Characters outside the alphabet count as 0 ("A").
      {"=AAA", "\0\0\0"s},
      {"\r\nAA", "\0\0\0"s},
      {"Y\x80Jj"s, "`\x02\x63"s},
      {"YAJj", "`\x02\x63"s},
  };
  for (const auto& c : kCases) EXPECT_EQ(DecodeBase64(c.in), c.want) << c.in;
}

TEST(FrameTest, ReadsTheLengthFieldUpToTheStx) {
  const struct {
    std::string field;
    std::int32_t want;
  } kCases[] = {{"0\x02", 0},     {"-8\x02", 8},    {"+8\x02", 8},
                {" 8\x02", 8},    {"$10\x02", 16},  {"abc\x02", 0},
                {"0x1A\x02", 26}, {"108\x02", 108}, {"\x02", 0},
                {"12a\x02", 12}};
  for (const auto& c : kCases) {
    EXPECT_EQ(FrameLength(c.field), c.want) << c.field;
  }
}

TEST(FrameTest, UnpacksTheFirstFrameOfTheLineListText) {
  const std::string msg = "\x01\x38\x02PE1TRy8+\x04"s;
  const struct {
    std::string buffer;
    UnpackedFrame::Found found;
    std::string message;
  } kCases[] = {
      {"junk\r\n" + msg, UnpackedFrame::Found::kFrame, "<MSG/>"},
      {msg + "\x01\x34\x02YWJj\x04"s, UnpackedFrame::Found::kFrame, "<MSG/>"},
      // Length 8 for 4 characters: EOT CR LF join, the last 3 are ignored.
      {"\x01\x38\x02PE1T\x04"s, UnpackedFrame::Found::kFrame, "<MS"},
      // Length smaller than the payload cuts the message.
      {"\x01\x34\x02PE1TRy8+\x04"s, UnpackedFrame::Found::kFrame, "<MS"},
      {"\x01\x30\x02PE1T\x04"s, UnpackedFrame::Found::kFrame, ""},
      // A lone CR in the payload becomes CR LF first; the group holding it
      // decodes with CR and LF as 0.
      {"\x01\x39\x02PE1T\rRy8+\x04"s, UnpackedFrame::Found::kFrame,
       "<MS\x00\x04\x72"s},
      // An EOT before the SOH ends nothing: no frame yet.
      {"\x04\x01\x38\x02PE1T"s, UnpackedFrame::Found::kNone, ""},
      {"\x04\x04\x04"s + msg, UnpackedFrame::Found::kFrame, "<MSG/>"},
      // A length beyond the frame reads its EOT and line end, never the
      // next frame ("YWJj" would decode as "abc").
      {"\x01\x31\x36\x02PE1T\x04\x01\x34\x02YWJj\x04"s,
       UnpackedFrame::Found::kFrame, "<MS"},
      {"\x01\x31\x32\x02PE1TRy8+\x04YWJj"s, UnpackedFrame::Found::kFrame,
       "<MSG/>"},
      // A NUL behind the frame no longer hides it.
      {msg + "\0"s, UnpackedFrame::Found::kFrame, "<MSG/>"},
      {"\x01\x38PE1TRy8+\x04"s, UnpackedFrame::Found::kNoStx, ""},
      {"\x01\x38\x02PE\0TRy8+\x04"s, UnpackedFrame::Found::kNone, ""},
      {"\x01\x38\x02PE1TRy8+"s, UnpackedFrame::Found::kNone, ""},
      {"", UnpackedFrame::Found::kNone, ""},
  };
  for (const auto& c : kCases) {
    const UnpackedFrame got = UnpackFirstFrame(c.buffer);
    EXPECT_EQ(got.found, c.found) << c.buffer;
    EXPECT_EQ(got.message, c.message) << c.buffer;
  }
}

// A frame runs from the first SOH to the first EOT after it; whatever lies
// before that SOH, stray EOTs included, leaves with it.
TEST(FrameTest, FindsTheFrameFromTheFirstSohToTheNextEot) {
  const struct {
    std::string in;
    std::size_t end;   // FrameEnd
    std::string left;  // after RemoveFrame
  } kCases[] = {
      {"\x01"
       "ab\x04"
       "cd\x04"s,
       4, "cd\x04"s},
      // EOTs before any SOH end nothing, before, between and inside frames.
      {"\x04\x04\x04\x01x\x04"s, 6, ""},
      {"\x04\x01\x38\x02"s, 0, "\x04\x01\x38\x02"s},
      {"\x01x\x04\x04\x04\x01y\x04"s, 3, "\x04\x04\x01y\x04"s},
      {"\x04\x04\x01y\x04"s, 5, ""},
      // A second SOH inside a frame is part of it.
      {"\x01x\x01y\x04z"s, 5, "z"},
      // SOH without EOT: no frame, however long.
      {"\x01" + std::string(1000, 'A'), 0, "\x01" + std::string(1000, 'A')},
      {std::string(16384, '\x04'), 0, std::string(16384, '\x04')},
      {"no end", 0, "no end"},
      {"", 0, ""},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(FrameEnd(c.in), c.end) << c.in;
    EXPECT_EQ(HasFrameMarkers(c.in), c.end > 0) << c.in;
    std::string buffer = c.in;
    RemoveFrame(buffer);
    EXPECT_EQ(buffer, c.left) << c.in;
  }
}

}  // namespace
}  // namespace kvx
