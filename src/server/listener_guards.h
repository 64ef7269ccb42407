// What protects the listener on an exposed network: the allow-list, the
// connection limits, the receive timeout and TLS. Every member is off by
// default, and the listener then behaves as on a closed network.
#ifndef KVX_SERVER_LISTENER_GUARDS_H_
#define KVX_SERVER_LISTENER_GUARDS_H_

#include <cstdint>
#include <memory>

#include "server/allow_list.h"

namespace kvx {

class TlsContextHolder;

struct ListenerGuards {
  // AllowedClients; empty: every address may connect.
  AllowList allow;
  // MaxConnections and MaxConnectionsPerClient; 0 or less: no limit.
  std::int32_t max_connections = 0;
  std::int32_t max_connections_per_client = 0;
  // ReceiveTimeout in seconds; 0 or less: off.
  std::int32_t receive_timeout_seconds = 0;
  // Null: clear text. Otherwise every new connection takes its current
  // context and keeps it for its lifetime.
  std::shared_ptr<const TlsContextHolder> tls;
};

}  // namespace kvx

#endif  // KVX_SERVER_LISTENER_GUARDS_H_
