#include "platform/udp_broadcaster.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace kvx {

PosixUdpBroadcaster::~PosixUdpBroadcaster() { Close(); }

bool PosixUdpBroadcaster::Open() {
  Close();  // never leak a socket, even when the caller forgot
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (fd < 0) return false;
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_addr.s_addr = htonl(INADDR_ANY);
  any.sin_port = 0;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0) {
    ::close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

bool PosixUdpBroadcaster::SetBroadcast(bool on) {
  if (fd_ < 0) return false;
  int value = on ? 1 : 0;
  return ::setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &value, sizeof value) == 0;
}

bool PosixUdpBroadcaster::SendTo(std::string_view payload,
                                 const Ipv4Endpoint& to) {
  if (fd_ < 0) return false;
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_addr.s_addr = htonl(to.address);
  target.sin_port = htons(to.port);
  ssize_t sent;
  do {
    sent = ::sendto(fd_, payload.data(), payload.size(), MSG_NOSIGNAL,
                    reinterpret_cast<const sockaddr*>(&target), sizeof target);
  } while (sent < 0 && errno == EINTR);
  return sent >= 0 && static_cast<std::size_t>(sent) == payload.size();
}

void PosixUdpBroadcaster::Close() {
  if (fd_ < 0) return;
  ::close(fd_);
  fd_ = -1;
}

}  // namespace kvx
