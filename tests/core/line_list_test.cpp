// Line lists: splitting and joining.
#include "core/line_list.h"

#include <gtest/gtest.h>

namespace kvx {
namespace {

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

}  // namespace
}  // namespace kvx
