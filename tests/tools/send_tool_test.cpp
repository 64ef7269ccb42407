#include "tools/send_tool.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "core/frame.h"
#include "tools/arguments.h"

namespace kvx {
namespace {

TEST(SendToolTest, ComposesTheEnvelope) {
  SendOptions o = ParseSendArguments(
      {"--tag", "7", "--type=COM", "--from", "ab", "--to", "cd"});
  ASSERT_TRUE(ComposesMessage(o));
  EXPECT_EQ(ComposeMessage(o),
            "<MSG tag=\"7\" type=\"COM\"><Verzender>ab</Verzender>"
            "<Ontvanger>cd</Ontvanger></MSG>");
  EXPECT_EQ(ComposeMessage(o).size(), 80u);

  // No tag: no tag attribute; the type defaults to COM; values unchanged.
  o = ParseSendArguments({"--from", "a&<b", "--body", "<X/>"});
  EXPECT_EQ(ComposeMessage(o),
            "<MSG type=\"COM\"><Verzender>a&<b</Verzender><X/></MSG>");
  // UTF-8 arguments become the gateway's Windows-1252 bytes.
  o = ParseSendArguments({"--tag", "8", "--type", "ABC", "--to", "\xc3\xa9"});
  EXPECT_EQ(ComposeMessage(o),
            "<MSG tag=\"8\" type=\"ABC\"><Ontvanger>\xe9</Ontvanger></MSG>");

  EXPECT_FALSE(ComposesMessage(ParseSendArguments({"msg.xml", "-"})));
}

TEST(SendToolTest, ReadsOptions) {
  SendOptions o = ParseSendArguments({"-H", "::1", "--port=9201", "-t", "2.5",
                                      "--hex", "a.xml", "--", "-b.xml", "-"});
  EXPECT_EQ(o.host, "::1");
  EXPECT_EQ(o.port, 9201);
  EXPECT_EQ(o.timeout, std::chrono::milliseconds(2500));
  EXPECT_TRUE(o.hex);
  EXPECT_EQ(o.files, (std::vector<std::string>{"a.xml", "-b.xml", "-"}));

  SendOptions d = ParseSendArguments({});
  EXPECT_EQ(d.host, "127.0.0.1");
  EXPECT_EQ(d.port, 9200);
  EXPECT_EQ(d.timeout, std::chrono::milliseconds(5000));

  const std::vector<std::vector<std::string>> kBad = {
      {"--tag", "a\"b"}, {"--type", "\""}, {"--port", "x"}, {"--port"},
      {"-t", "0"},       {"--hex=1"},      {"--host="},     {"--what"}};
  for (const auto& args : kBad) {
    EXPECT_THROW(ParseSendArguments(args), UsageError) << args[0];
  }
}

TEST(SendToolTest, FindsTheReplyInTheBytesReceived) {
  const std::string frame = BuildFrame("<MSG/>");
  struct Case {
    std::string received;
    Reply::Kind kind;
    std::size_t size;
    std::string message;
  };
  const Case kCases[] = {
      {"", Reply::Kind::kIncomplete, 0, ""},
      {"\x15", Reply::Kind::kNak, 1, ""},
      {"\x15" + frame, Reply::Kind::kNak, 1, ""},
      {frame.substr(0, 11), Reply::Kind::kIncomplete, 0, ""},
      {frame, Reply::Kind::kFrame, 12, "<MSG/>"},
      {frame + "\x15", Reply::Kind::kFrame, 12, "<MSG/>"},
      {"\x01\x04", Reply::Kind::kUnexpected, 2, ""},  // no STX
      {"HTTP/1.0 400\r\n", Reply::Kind::kUnexpected, 14, ""},
  };
  for (const Case& c : kCases) {
    Reply r = ScanReply(c.received);
    EXPECT_EQ(r.kind, c.kind) << c.received;
    EXPECT_EQ(r.size, c.size) << c.received;
    EXPECT_EQ(r.message, c.message) << c.received;
  }
}

TEST(SendToolTest, ReportsAConnectionThatFails) {
  // Port 1 on loopback: nothing listens there.
  SendOptions o = ParseSendArguments({"--port", "1", "--timeout", "2"});
  std::ostringstream out, err;
  EXPECT_EQ(SendMessages(o, {"<MSG/>"}, out, err), kExitFailed);
  EXPECT_EQ(out.str(), "");
  EXPECT_NE(err.str().find("cannot connect to 127.0.0.1:1"), std::string::npos)
      << err.str();
}

}  // namespace
}  // namespace kvx
