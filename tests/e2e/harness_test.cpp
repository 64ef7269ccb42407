// The harness's own pieces, so that an end-to-end failure points at the
// service and not at the test tools.
#include "e2e/harness.h"

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kvx::e2e {
namespace {

TEST(HarnessTest, ConfigWithReplacesOnlyTheNamedElements) {
  const std::string text = ConfigWith(
      "/p/", {{"Port", "9201"}, {"Key", ""}, {"SQLPaswoord", "a b"}});
  std::string want = TemplateText("/p/");
  want.replace(want.find("9200"), 4, "9201");
  want.replace(want.find("Morvek"), 6, "");
  want.replace(want.find("****"), 4, "a b");
  EXPECT_EQ(text, want);
  EXPECT_THAT(
      TemplateText("/p/"),
      ::testing::HasSubstr(
          "\r\n<OutputDirectory>/p/KvxTCPIP/XML</OutputDirectory>\r\n"));
}

TEST(HarnessTest, RunProgramCapturesOutputEnvironmentAndExitStatus) {
  const RunResult r =
      RunProgram("/bin/sh", {"-c", "echo \"out $KVX_X\"; echo err >&2; exit 3"},
                 {{"KVX_X", "x1"}});
  EXPECT_EQ(r.exit_status, 3);
  EXPECT_EQ(r.out, "out x1\n");
  EXPECT_EQ(r.err, "err\n");
  EXPECT_EQ(RunProgram("/bin/sh", {"-c", "kill -TERM $$"}).exit_status,
            128 + SIGTERM);
}

TEST(HarnessTest, TcpClientSendsAndReadsWithADeadline) {
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), len), 0);
  ASSERT_EQ(::listen(listener, 1), 0);
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len),
            0);

  TcpClient client(ntohs(addr.sin_port));
  ASSERT_TRUE(client.connected());
  const int peer = ::accept(listener, nullptr, nullptr);
  ASSERT_GE(peer, 0);
  ASSERT_TRUE(
      client.Send(std::string("\x01"
                              "12\x02",
                              4)));
  char got[4];
  ASSERT_EQ(::recv(peer, got, 4, MSG_WAITALL), 4);
  EXPECT_EQ(std::string(got, 4), std::string("\x01"
                                             "12\x02",
                                             4));

  ASSERT_EQ(::send(peer, "\x06\x15xyz", 5, 0), 5);
  EXPECT_EQ(client.ReadExactly(2), "\x06\x15");
  // Asking for more than arrives ends at the deadline with what there is.
  EXPECT_EQ(client.ReadExactly(10, milliseconds(100)), "xyz");
  ::close(peer);
  EXPECT_EQ(client.ReadExactly(1, milliseconds(1000)), "");
  ::close(listener);
}

TEST(HarnessTest, UdpReceiverGetsLoopbackDatagrams) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  UdpReceiver receiver;
  ASSERT_TRUE(receiver.bound());
  EXPECT_EQ(receiver.Receive(milliseconds(50)), std::nullopt);
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(54200);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(
      ::sendto(fd, "3000", 4, 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
      4);
  ::close(fd);
  EXPECT_EQ(receiver.Receive(), "3000");
}

}  // namespace
}  // namespace kvx::e2e
