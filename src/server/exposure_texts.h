// Operator texts of the listener's protections on exposed networks: the
// allow-list, the connection limits, slow clients and TLS (Windows-1252).
#ifndef KVX_SERVER_EXPOSURE_TEXTS_H_
#define KVX_SERVER_EXPOSURE_TEXTS_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace kvx {

// Warning: a connection from an address outside AllowedClients was closed
// at accept. `held_back`: refusals of that address not written since the
// previous entry.
std::string NotAllowedText(std::string_view client, std::uint64_t held_back);

// Warning: a connection was closed at accept because MaxConnections
// (`per_client` false) or MaxConnectionsPerClient was reached.
std::string LimitReachedText(std::string_view client, bool per_client,
                             std::int32_t limit, std::uint64_t held_back);

// Warning: a connection held an incomplete frame longer than ReceiveTimeout.
std::string ReceiveTimeoutText(std::string_view client, std::size_t bytes,
                               std::int32_t seconds);

// Warning: the TLS handshake with a client failed or took too long.
std::string HandshakeFailedText(std::string_view client,
                                std::string_view reason,
                                std::uint64_t held_back);

// Error: the listener does not start because AllowedClients holds an item
// that is not an address or prefix.
std::string InvalidAllowListText(std::string_view item);

// Error: the listener does not start because the TLS files cannot be used.
std::string TlsLoadFailedText(std::string_view detail);

// Information / error: the outcome of a reload request (SIGHUP).
std::string TlsReloadedText();
std::string TlsReloadFailedText(std::string_view detail);
std::string ReloadWithoutTlsText();

}  // namespace kvx

#endif  // KVX_SERVER_EXPOSURE_TEXTS_H_
