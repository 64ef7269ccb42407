// sd_notify reports, received on a socket that stands in for systemd.
#include "platform/service_notifier.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "fakes/temp_dir.h"
#include "platform/error.h"

namespace kvx {
namespace {

class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : path_(path) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::setenv("NOTIFY_SOCKET", path.c_str(), 1);
  }
  ~NotifySocket() {
    ::unsetenv("NOTIFY_SOCKET");
    ::close(fd_);
  }
  // The next datagram, or "" when none arrives within a second.
  std::string Receive() {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 1000) != 1) return "";
    char buffer[512];
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : "";
  }

 private:
  std::string path_;
  int fd_;
};

TEST(ServiceNotifierTest, ReportsEveryStateAndReadyOnlyOnce) {
  TempDir dir;
  NotifySocket systemd(dir.path() + "/notify");
  SdNotifier notifier;
  const std::pair<ServiceState, const char*> steps[] = {
      {ServiceState::kStartPending, "STATUS=start pending"},
      {ServiceState::kRunning, "READY=1\nSTATUS=running"},
      {ServiceState::kPausePending, "STATUS=pause pending"},
      {ServiceState::kPaused, "STATUS=paused"},
      {ServiceState::kContinuePending, "STATUS=continue pending"},
      {ServiceState::kRunning, "STATUS=running"},
      {ServiceState::kStopPending, "STOPPING=1\nSTATUS=stop pending"},
      {ServiceState::kStopped, "STATUS=stopped"},
  };
  for (const auto& [state, want] : steps) {
    notifier.Report(state);
    EXPECT_EQ(systemd.Receive(), want) << ServiceStateName(state);
  }
}

TEST(ServiceNotifierTest, WithoutNotifySocketNothingIsSent) {
  ::unsetenv("NOTIFY_SOCKET");
  SdNotifier notifier;
  EXPECT_NO_THROW(notifier.Report(ServiceState::kRunning));
}

TEST(ServiceNotifierTest, ARefusedReportThrowsTheSystemText) {
  TempDir dir;
  const std::string missing = dir.path() + "/nobody-listens";
  ::setenv("NOTIFY_SOCKET", missing.c_str(), 1);
  SdNotifier notifier;
  try {
    notifier.Report(ServiceState::kRunning);
    ADD_FAILURE() << "no exception";
  } catch (const KvxError& e) {
    EXPECT_EQ(std::string(e.what()), SystemErrorText(ENOENT));
  }
  ::unsetenv("NOTIFY_SOCKET");
}

}  // namespace
}  // namespace kvx
