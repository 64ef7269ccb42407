// Loopback sockets for the end-to-end tests: free and held TCP ports, a
// blocking TCP client with deadlines and the receiver of the status
// datagrams.
#ifndef KVX_TESTS_E2E_LOOPBACK_H_
#define KVX_TESTS_E2E_LOOPBACK_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

struct sockaddr_in;

namespace kvx::e2e {

using std::chrono::milliseconds;

// Generous enough for the sanitizer builds.
inline constexpr milliseconds kTimeout{15000};
// How often the helpers look again while they wait for a condition.
inline constexpr milliseconds kPollInterval{20};

// A TCP port on 127.0.0.1 that nothing listens on right now.
std::uint16_t FreeTcpPort();

// A listening socket on 127.0.0.1 that keeps its port taken until Release().
class PortHolder {
 public:
  PortHolder();
  ~PortHolder() { Release(); }
  PortHolder(const PortHolder&) = delete;
  PortHolder& operator=(const PortHolder&) = delete;

  // 0 when the socket could not be made.
  std::uint16_t port() const { return port_; }
  void Release();

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

// A blocking loopback TCP client with deadlines. Sends without delay
// (TCP_NODELAY), so that separate sends reach the service as separate reads
// when the sender waits between them.
class TcpClient {
 public:
  // Connects to 127.0.0.1:port, trying again until `timeout` (the listener
  // may still be starting). Check connected().
  explicit TcpClient(std::uint16_t port, milliseconds timeout = kTimeout);
  // The same from the loopback address `from` (e.g. "127.0.0.2"), as a
  // client on another machine would appear.
  TcpClient(std::uint16_t port, const std::string& from,
            milliseconds timeout = kTimeout);
  ~TcpClient();
  TcpClient(const TcpClient&) = delete;
  TcpClient& operator=(const TcpClient&) = delete;

  bool connected() const { return fd_ >= 0; }
  // "<this end's address>:<its port>": the service's id of this connection
  // when it is reached directly.
  std::string PeerId() const;
  bool Send(const std::string& bytes);
  // Up to `n` bytes: fewer when the peer closes or `timeout` passes.
  std::string ReadExactly(std::size_t n, milliseconds timeout = kTimeout);
  // True when the peer ends the connection (an orderly close or a reset)
  // within `timeout`; bytes that arrive before are read into `received`.
  bool WaitForClose(milliseconds timeout = kTimeout,
                    std::string* received = nullptr);
  void Close();
  // Ends the sending side only (a half-close); replies can still be read.
  bool ShutdownSending();
  // Closes with SO_LINGER 0, so that the peer gets a reset.
  void Reset();

 private:
  // Connects, bound first to `local` when not null.
  void Connect(std::uint16_t port, const sockaddr_in* local,
               milliseconds timeout);

  int fd_ = -1;
};

// A UDP socket bound to port 54200 that receives the status datagrams.
class UdpReceiver {
 public:
  UdpReceiver();
  ~UdpReceiver();
  UdpReceiver(const UdpReceiver&) = delete;
  UdpReceiver& operator=(const UdpReceiver&) = delete;

  bool bound() const { return fd_ >= 0; }
  // The next datagram, or nullopt after `timeout`.
  std::optional<std::string> Receive(milliseconds timeout = kTimeout);

 private:
  int fd_ = -1;
};

}  // namespace kvx::e2e

#endif  // KVX_TESTS_E2E_LOOPBACK_H_
