// The PROXY protocol header a load balancer puts before a client's bytes:
// version 1 (one text line) or version 2 (binary). A pure parser on the
// bytes received so far, and the operator texts of a refused header.
#ifndef KVX_SERVER_PROXY_HEADER_H_
#define KVX_SERVER_PROXY_HEADER_H_

#include <asio/ip/tcp.hpp>
#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace kvx {

// A version 1 line is at most this long, CR LF included.
inline constexpr std::size_t kProxyV1MaxLength = 107;
// A version 2 header: 16 fixed bytes, then at most 65535 more.
inline constexpr std::size_t kProxyV2FixedLength = 16;
// A connection that has not sent its whole header by then is closed.
inline constexpr std::chrono::seconds kProxyHeaderDeadline{5};

// The result of looking at the first bytes of a connection.
struct ProxyHeader {
  enum class Parse {
    kNeedMore,  // every byte so far fits a header that is not complete yet
    kBad,       // these bytes cannot begin a header
    kDone,      // a whole header
  };
  Parse parse = Parse::kNeedMore;
  // kBad: what is wrong, in Dutch, for the warning entry.
  std::string reason;
  // kDone: the number of header bytes; every byte after them belongs to the
  // receive buffer.
  std::size_t length = 0;
  // kDone: true when the header names no client (version 1 UNKNOWN, version
  // 2 LOCAL such as the balancer's own health check, or a family other than
  // IPv4 and IPv6): the connection keeps its own peer address.
  bool keep_peer = false;
  // kDone and not keep_peer: the client's address and port.
  asio::ip::tcp::endpoint source;
};

// Looks at the first bytes of a connection, all of them from its first byte
// on; call again with the longer text after kNeedMore. Never reads past the
// header: `length` may be less than `bytes.size()`. kBad as soon as a byte
// shows that no header can follow (a first byte that starts neither
// version, a version 1 line without CR LF within 107 bytes, a version 2
// length too short for its addresses); a header that announces more bytes
// than the client sends stays kNeedMore until the caller's deadline.
ProxyHeader ParseProxyHeader(std::string_view bytes);

// The warning entries of a connection that is closed before its first frame
// byte because its PROXY header is malformed (`reason` from the parser) or
// not complete within kProxyHeaderDeadline. `peer_id` is the connection's
// own "IP:port".
std::string ProxyHeaderRefusedText(std::string_view peer_id,
                                   std::string_view reason);
std::string ProxyHeaderLateText(std::string_view peer_id);

}  // namespace kvx

#endif  // KVX_SERVER_PROXY_HEADER_H_
