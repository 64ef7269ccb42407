// The datagram socket of the status sender, driven one step at a time.
#ifndef KVX_PLATFORM_UDP_BROADCASTER_H_
#define KVX_PLATFORM_UDP_BROADCASTER_H_

#include <cstdint>
#include <string_view>

#include "platform/unique_fd.h"

namespace kvx {

// An IPv4 address and port, both in host byte order.
struct Ipv4Endpoint {
  std::uint32_t address = 0;
  std::uint16_t port = 0;
};

// The UDP sender component LanUDP: at most one socket at a time. Every step
// reports failure by returning false and never throws. Not thread-safe.
class UdpBroadcaster {
 public:
  virtual ~UdpBroadcaster() = default;
  // Opens a new IPv4 UDP socket bound to any local address and a port the
  // system chooses. REQUIRES: no socket open (Close() first).
  virtual bool Open() = 0;
  // Switches broadcast permission (SO_BROADCAST) of the open socket.
  virtual bool SetBroadcast(bool on) = 0;
  // Sends `payload` as one datagram; false also when it was not sent whole.
  virtual bool SendTo(std::string_view payload, const Ipv4Endpoint& to) = 0;
  // Closes the open socket; does nothing when none is open.
  virtual void Close() = 0;
};

// The POSIX socket implementation. The destructor closes the socket.
class PosixUdpBroadcaster final : public UdpBroadcaster {
 public:
  PosixUdpBroadcaster() = default;
  ~PosixUdpBroadcaster() override;
  PosixUdpBroadcaster(const PosixUdpBroadcaster&) = delete;
  PosixUdpBroadcaster& operator=(const PosixUdpBroadcaster&) = delete;

  bool Open() override;
  bool SetBroadcast(bool on) override;
  bool SendTo(std::string_view payload, const Ipv4Endpoint& to) override;
  void Close() override;

 private:
  UniqueFd fd_;
};

}  // namespace kvx

#endif  // KVX_PLATFORM_UDP_BROADCASTER_H_
