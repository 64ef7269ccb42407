// The TLS layer of a connection: internal to the connection's sources.
#ifndef KVX_SERVER_CONNECTION_TLS_H_
#define KVX_SERVER_CONNECTION_TLS_H_

#include <array>
#include <asio/ssl.hpp>
#include <memory>

#include "server/connection.h"

namespace kvx {

// The TLS stream over a connection's socket and the context it was made
// from.
struct Connection::TlsLayer {
  TlsLayer(ConnectionSocket& socket,
           std::shared_ptr<asio::ssl::context> tls_context)
      : context(std::move(tls_context)), stream(socket, *context) {}
  std::shared_ptr<asio::ssl::context> context;  // kept for the stream's life
  asio::ssl::stream<ConnectionSocket&> stream;
  // One TLS record holds at most 16 KiB of clear text.
  std::array<char, 16384> buffer;
};

}  // namespace kvx

#endif  // KVX_SERVER_CONNECTION_TLS_H_
