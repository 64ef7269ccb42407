// A unix datagram socket that stands in for systemd's notification socket:
// binds `path` and points NOTIFY_SOCKET at it for its lifetime.
#ifndef KVX_TESTS_FAKES_NOTIFY_SOCKET_H_
#define KVX_TESTS_FAKES_NOTIFY_SOCKET_H_

#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>

namespace kvx {

class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) {
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
  NotifySocket(const NotifySocket&) = delete;
  NotifySocket& operator=(const NotifySocket&) = delete;

  // The next datagram, or "" when none arrives within `timeout`.
  std::string Receive(
      std::chrono::milliseconds timeout = std::chrono::seconds(1)) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) return "";
    char buffer[512];
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : "";
  }

 private:
  int fd_;
};

}  // namespace kvx

#endif  // KVX_TESTS_FAKES_NOTIFY_SOCKET_H_
