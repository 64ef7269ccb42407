// A blocking TCP client with deadlines, for the operator tools.
#ifndef KVX_PLATFORM_TCP_CLIENT_H_
#define KVX_PLATFORM_TCP_CLIENT_H_

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/unique_fd.h"

namespace kvx {

// The client side of TLS (file paths in UTF-8).
struct TlsClientOptions {
  std::string ca_file;    // CA to verify the server by; empty: the system's
  std::string cert_file;  // with key_file: the client's certificate chain
  std::string key_file;
};

// One outgoing connection. Every failure throws KvxError with a readable
// message naming the peer. Not thread-safe. The destructor closes it.
class TcpClient {
 public:
  using Deadline = std::chrono::steady_clock::time_point;

  TcpClient();
  ~TcpClient();
  TcpClient(const TcpClient&) = delete;
  TcpClient& operator=(const TcpClient&) = delete;

  // Connects to `host`:`port` before `deadline`. A numeric IPv4 or IPv6
  // address is used as it is; anything else is looked up with the system
  // resolver. Every address found is tried in turn.
  void Connect(const std::string& host, std::uint16_t port, Deadline deadline);

  // After Connect: runs a TLS handshake (TLS 1.2 or 1.3) before `deadline`,
  // verifying the server's certificate against the CA and the address or
  // name it was connected by; from then on every byte goes through TLS.
  void StartTls(const TlsClientOptions& options, Deadline deadline);

  // Writes all of `bytes` before `deadline`.
  void SendAll(std::string_view bytes, Deadline deadline);

  enum class Read { kData, kClosed, kTimedOut };
  // Appends what has arrived to `out`, waiting for it until `deadline`.
  Read ReadSome(std::string& out, Deadline deadline);

  // After StartTls: the common name in the subject of the server's
  // certificate (empty when it has none).
  std::string PeerCommonName() const;

  // "host:port" of the last Connect, for messages.
  const std::string& peer() const { return peer_; }

 private:
  struct Tls;

  UniqueFd fd_;
  std::string host_;
  std::string peer_;
  std::unique_ptr<Tls> tls_;
};

}  // namespace kvx

#endif  // KVX_PLATFORM_TCP_CLIENT_H_
