// A UDP socket that receives datagrams, for the status monitor.
#ifndef KVX_PLATFORM_UDP_RECEIVER_H_
#define KVX_PLATFORM_UDP_RECEIVER_H_

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "platform/udp_broadcaster.h"
#include "platform/unique_fd.h"

namespace kvx {

// The numeric IPv4 address "a.b.c.d" in host byte order; nullopt for any
// other text (no name is looked up).
std::optional<std::uint32_t> ParseIpv4Address(std::string_view text);
// "a.b.c.d:port".
std::string FormatEndpoint(const Ipv4Endpoint& endpoint);

struct ReceivedDatagram {
  std::string payload;
  Ipv4Endpoint from;
};

// One bound IPv4 UDP socket, with SO_REUSEADDR so that several receivers on
// one computer can listen to the same broadcasts. Not thread-safe. The
// destructor closes it.
class UdpReceiver {
 public:
  // Binds to `local`; throws KvxError naming the address on failure.
  explicit UdpReceiver(const Ipv4Endpoint& local);
  UdpReceiver(const UdpReceiver&) = delete;
  UdpReceiver& operator=(const UdpReceiver&) = delete;

  // The next datagram, or nullopt when `deadline` passes first. Throws
  // KvxError on a socket failure.
  std::optional<ReceivedDatagram> Receive(
      std::chrono::steady_clock::time_point deadline);

 private:
  UniqueFd fd_;
};

}  // namespace kvx

#endif  // KVX_PLATFORM_UDP_RECEIVER_H_
