// Real status datagrams through the POSIX socket. These tests broadcast, so
// they run only inside a private network namespace (see platform notes):
//   unshare -rn sh -c 'ip link set lo up && ip route add default dev lo && ...'
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "fakes/fake_clock.h"
#include "fakes/fake_system_info.h"
#include "fakes/network_namespace.h"
#include "platform/udp_broadcaster.h"
#include "status/status_datagram.h"
#include "status/xor_cipher.h"

namespace kvx {
namespace {

// A UDP socket bound to 0.0.0.0:54200, as a monitor on the segment has.
class Receiver {
 public:
  Receiver() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int on = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    any.sin_port = htons(54200);
    bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&any), sizeof any) == 0;
  }
  ~Receiver() { ::close(fd_); }
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;

  bool bound() const { return bound_; }

  // The next datagram, or nothing when none arrives within five seconds.
  std::optional<std::string> Receive() {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 5000) != 1) return std::nullopt;
    char buffer[65536];
    ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n < 0) return std::nullopt;
    return std::string(buffer, static_cast<std::size_t>(n));
  }

 private:
  int fd_ = -1;
  bool bound_ = false;
};

class BroadcastTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!InPrivateNetworkNamespace())
      GTEST_SKIP() << "broadcasts only inside a private network namespace";
    settings_.FKey = "Morvek";
    settings_.FTOSID = "FFFFFFFFFF";
    clock_.SetNow({2010, 5, 25, 14, 30, 0, 0});
  }

  Settings settings_;
  FakeClock clock_;
  FakeSystemInfo info_;
  PosixUdpBroadcaster socket_;
};

TEST_F(BroadcastTest, ReceiverOnPort54200GetsEachDatagram) {
  if (!HasDefaultRoute()) GTEST_SKIP() << "needs a default route over lo";
  Receiver receiver;
  ASSERT_TRUE(receiver.bound());
  StatusReporter reporter(settings_, clock_, info_, socket_);
  for (int code : {kStatusStarted, kStatusHeartbeat}) {
    ASSERT_TRUE(reporter.SendStatus(code, "9.0.0.7"));
    std::optional<std::string> datagram = receiver.Receive();
    ASSERT_TRUE(datagram.has_value()) << code;
    XorTransform(*datagram, "Morvek");
    EXPECT_EQ(*datagram, std::to_string(code) +
                             ",20100525143000,SERVER1,FFFFFFFFFF,"
                             "##2097024#1802240#1047532#524288#5.1#50#V1.0#"
                             "9.0.0.7#1##");
  }
}

TEST_F(BroadcastTest, WithoutARouteTheSendFailsSilently) {
  // A child process moves into a network namespace of its own, which has
  // no route at all (its loopback is even down), and sends from there.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::unshare(CLONE_NEWNET) != 0 || HasDefaultRoute()) ::_exit(3);
    StatusReporter reporter(settings_, clock_, info_, socket_);
    const bool first = reporter.SendStatus(kStatusHeartbeat, "");
    // The next attempt starts again with a new socket and fails the same way.
    const bool second = reporter.SendStatus(kStatusHeartbeat, "");
    ::_exit(!first && !second ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "3: no namespace; 1: a send succeeded";
}

}  // namespace
}  // namespace kvx
