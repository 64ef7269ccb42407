// Values read from a message by their markers.
#include "core/message_texts.h"

#include <gtest/gtest.h>

#include <string>

namespace kvx {
namespace {

TEST(MessageTextTest, ExtractsTypeAndTagByMarker) {
  const struct {
    std::string message, type, tag;
  } kCases[] = {
      {R"(<MSG tag="7" type="COM">)", "COM", "7"},
      {R"(<MSG type="COM" tag="7">)", "COM", ""},
      {R"(<X type="Y"/><MSG tag="1" type="COM">)", "Y", "1"},
      {R"(<MSG tag="1" type="com">)", "com", "1"},
      {R"(<MSG tag="a<&b" type=" COM">)", " COM", "a<&b"},
      {R"(<MSG tag="9 type=COM>)", "", "9 type=COM>"},
      {"", "", ""},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(ExtractMsgType(c.message), c.type) << c.message;
    EXPECT_EQ(ExtractMsgTag(c.message), c.tag) << c.message;
  }
}

}  // namespace
}  // namespace kvx
