// A blocking TCP client with deadlines, for the operator tools.
#ifndef KVX_PLATFORM_TCP_CLIENT_H_
#define KVX_PLATFORM_TCP_CLIENT_H_

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/unique_fd.h"

namespace kvx {

// One outgoing connection. Every failure throws KvxError with a readable
// message naming the peer. Not thread-safe. The destructor closes it.
class TcpClient {
 public:
  using Deadline = std::chrono::steady_clock::time_point;

  TcpClient() = default;
  TcpClient(const TcpClient&) = delete;
  TcpClient& operator=(const TcpClient&) = delete;

  // Connects to `host`:`port` before `deadline`. A numeric IPv4 or IPv6
  // address is used as it is; anything else is looked up with the system
  // resolver. Every address found is tried in turn.
  void Connect(const std::string& host, std::uint16_t port, Deadline deadline);

  // Writes all of `bytes` before `deadline`.
  void SendAll(std::string_view bytes, Deadline deadline);

  enum class Read { kData, kClosed, kTimedOut };
  // Appends what has arrived to `out`, waiting for it until `deadline`.
  Read ReadSome(std::string& out, Deadline deadline);

  // "host:port" of the last Connect, for messages.
  const std::string& peer() const { return peer_; }

 private:
  UniqueFd fd_;
  std::string peer_;
};

}  // namespace kvx

#endif  // KVX_PLATFORM_TCP_CLIENT_H_
