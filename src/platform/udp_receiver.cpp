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
  fd_.reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd_.valid()) throw PosixError("cannot open a UDP socket: ", errno);
  int on = 1;
  ::setsockopt(fd_.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(local.address);
  address.sin_port = htons(local.port);
  if (::bind(fd_.get(), reinterpret_cast<const sockaddr*>(&address),
             sizeof(address)) != 0) {
    throw PosixError("cannot listen on UDP " + FormatEndpoint(local) + ": ",
                     errno);
  }
}

std::optional<ReceivedDatagram> UdpReceiver::Receive(
    std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{fd_.get(), POLLIN, 0};
    int n =
        ::poll(&p, 1, left.count() < 0 ? 0 : static_cast<int>(left.count()));
    if (n == 0) return std::nullopt;
    if (n < 0) {
      if (errno == EINTR) continue;
      throw PosixError("cannot receive: ", errno);
    }
    char buffer[65536];
    sockaddr_in from{};
    socklen_t from_length = sizeof(from);
    ssize_t got = ::recvfrom(fd_.get(), buffer, sizeof(buffer), 0,
                             reinterpret_cast<sockaddr*>(&from), &from_length);
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      throw PosixError("cannot receive: ", errno);
    }
    return ReceivedDatagram{
        std::string(buffer, static_cast<std::size_t>(got)),
        Ipv4Endpoint{ntohl(from.sin_addr.s_addr), ntohs(from.sin_port)}};
  }
}

}  // namespace kvx
