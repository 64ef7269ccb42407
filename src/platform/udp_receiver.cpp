#include "platform/udp_receiver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/error.h"

namespace kvx {

std::optional<std::uint32_t> ParseIpv4Address(std::string_view text) {
  in_addr a{};
  if (::inet_pton(AF_INET, std::string(text).c_str(), &a) != 1) {
    return std::nullopt;
  }
  return ntohl(a.s_addr);
}

std::string FormatEndpoint(const Ipv4Endpoint& endpoint) {
  in_addr a{htonl(endpoint.address)};
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &a, text, sizeof(text));
  return std::string(text) + ":" + std::to_string(endpoint.port);
}

UdpReceiver::UdpReceiver(const Ipv4Endpoint& local) {
  fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0)
    throw KvxError("cannot open a UDP socket: " + SystemErrorText(errno));
  int on = 1;
  ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(local.address);
  address.sin_port = htons(local.port);
  if (::bind(fd_, reinterpret_cast<const sockaddr*>(&address),
             sizeof(address)) != 0) {
    int error = errno;
    ::close(fd_);
    fd_ = -1;
    throw KvxError("cannot listen on UDP " + FormatEndpoint(local) + ": " +
                   SystemErrorText(error));
  }
}

UdpReceiver::~UdpReceiver() {
  if (fd_ >= 0) ::close(fd_);
}

std::optional<ReceivedDatagram> UdpReceiver::Receive(
    std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{fd_, POLLIN, 0};
    int n =
        ::poll(&p, 1, left.count() < 0 ? 0 : static_cast<int>(left.count()));
    if (n == 0) return std::nullopt;
    if (n < 0) {
      if (errno == EINTR) continue;
      throw KvxError("cannot receive: " + SystemErrorText(errno));
    }
    char buffer[65536];
    sockaddr_in from{};
    socklen_t from_length = sizeof(from);
    ssize_t got = ::recvfrom(fd_, buffer, sizeof(buffer), 0,
                             reinterpret_cast<sockaddr*>(&from), &from_length);
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      throw KvxError("cannot receive: " + SystemErrorText(errno));
    }
    return ReceivedDatagram{
        std::string(buffer, static_cast<std::size_t>(got)),
        Ipv4Endpoint{ntohl(from.sin_addr.s_addr), ntohs(from.sin_port)}};
  }
}

}  // namespace kvx
