#include "e2e/loopback.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

namespace kvx::e2e {
namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

}  // namespace

std::uint16_t FreeTcpPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr = Loopback(0);
  socklen_t len = sizeof addr;
  std::uint16_t port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  ::close(fd);
  return port;
}

// PortHolder

PortHolder::PortHolder() {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr = Loopback(0);
  socklen_t len = sizeof addr;
  if (fd_ < 0 ||
      ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(fd_, 1) != 0 ||
      ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ADD_FAILURE() << "cannot hold a loopback port: " << std::strerror(errno);
    Release();
    return;
  }
  port_ = ntohs(addr.sin_port);
}

void PortHolder::Release() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

// TcpClient

TcpClient::TcpClient(std::uint16_t port, milliseconds timeout) {
  Connect(port, nullptr, timeout);
}

TcpClient::TcpClient(std::uint16_t port, const std::string& from,
                     milliseconds timeout) {
  sockaddr_in local = Loopback(0);
  if (::inet_pton(AF_INET, from.c_str(), &local.sin_addr) != 1) {
    ADD_FAILURE() << "not an IPv4 address: " << from;
    return;
  }
  Connect(port, &local, timeout);
}

void TcpClient::Connect(std::uint16_t port, const sockaddr_in* local,
                        milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  const sockaddr_in addr = Loopback(port);
  for (;;) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool bound = local == nullptr ||
                       ::bind(fd_, reinterpret_cast<const sockaddr*>(local),
                              sizeof *local) == 0;
    if (bound && ::connect(fd_, reinterpret_cast<const sockaddr*>(&addr),
                           sizeof addr) == 0) {
      const int on = 1;
      ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      return;
    }
    Close();
    if (Clock::now() >= deadline) return;
    std::this_thread::sleep_for(kPollInterval);
  }
}

TcpClient::~TcpClient() { Close(); }

void TcpClient::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool TcpClient::ShutdownSending() {
  return fd_ >= 0 && ::shutdown(fd_, SHUT_WR) == 0;
}

void TcpClient::Reset() {
  if (fd_ < 0) return;
  const linger abortive{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
  Close();
}

std::string TcpClient::PeerId() const {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (fd_ < 0 ||
      ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    return "";
  }
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
  return std::string(text) + ":" + std::to_string(ntohs(addr.sin_port));
}

bool TcpClient::WaitForClose(milliseconds timeout, std::string* received) {
  const auto deadline = Clock::now() + timeout;
  while (fd_ >= 0) {
    const auto left =
        std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    char buffer[4096];
    const ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return true;
    if (received) received->append(buffer, static_cast<std::size_t>(got));
  }
  return false;
}

bool TcpClient::Send(const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n =
        ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

std::string TcpClient::ReadExactly(std::size_t n, milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  std::string data;
  while (data.size() < n && fd_ >= 0) {
    const auto left =
        std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd_, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    char buffer[4096];
    const ssize_t got =
        ::recv(fd_, buffer, std::min(sizeof buffer, n - data.size()), 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;  // closed by the peer, or an error
    data.append(buffer, static_cast<std::size_t>(got));
  }
  return data;
}

// UdpReceiver

UdpReceiver::UdpReceiver() {
  fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(54200);
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ADD_FAILURE() << "cannot bind UDP port 54200: " << std::strerror(errno);
    ::close(fd_);
    fd_ = -1;
  }
}

UdpReceiver::~UdpReceiver() {
  if (fd_ >= 0) ::close(fd_);
}

std::optional<std::string> UdpReceiver::Receive(milliseconds timeout) {
  if (fd_ < 0) return std::nullopt;
  pollfd p{fd_, POLLIN, 0};
  int ready;
  do {
    ready = ::poll(&p, 1, static_cast<int>(timeout.count()));
  } while (ready < 0 && errno == EINTR);
  if (ready <= 0) return std::nullopt;
  char buffer[65536];
  const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
  if (n < 0) return std::nullopt;
  return std::string(buffer, static_cast<std::size_t>(n));
}

}  // namespace kvx::e2e
