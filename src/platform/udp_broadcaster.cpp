#include "platform/udp_broadcaster.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace kvx {

PosixUdpBroadcaster::~PosixUdpBroadcaster() { Close(); }

bool PosixUdpBroadcaster::Open() {
  Close();  // never leak a socket, even when the caller forgot
  UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP));
  if (!fd.valid()) return false;
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_addr.s_addr = htonl(INADDR_ANY);
  any.sin_port = 0;
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&any), sizeof any) !=
      0) {
    return false;
  }
  fd_ = std::move(fd);
  return true;
}

bool PosixUdpBroadcaster::SetBroadcast(bool on) {
  if (!fd_.valid()) return false;
  int value = on ? 1 : 0;
  return ::setsockopt(fd_.get(), SOL_SOCKET, SO_BROADCAST, &value,
                      sizeof value) == 0;
}

bool PosixUdpBroadcaster::SendTo(std::string_view payload,
                                 const Ipv4Endpoint& to) {
  if (!fd_.valid()) return false;
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_addr.s_addr = htonl(to.address);
  target.sin_port = htons(to.port);
  ssize_t sent;
  do {
    sent = ::sendto(fd_.get(), payload.data(), payload.size(), MSG_NOSIGNAL,
                    reinterpret_cast<const sockaddr*>(&target), sizeof target);
  } while (sent < 0 && errno == EINTR);
  return sent >= 0 && static_cast<std::size_t>(sent) == payload.size();
}

void PosixUdpBroadcaster::Close() { fd_.reset(); }

}  // namespace kvx
