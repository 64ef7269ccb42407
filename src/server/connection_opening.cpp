// A connection's stages before its first frame byte: the PROXY header of a
// load balancer, the admission of the client it names, the TLS handshake,
// and the trace that starts the frames.
#include <asio/ssl.hpp>
#include <chrono>

#include "core/event_log.h"
#include "core/settings.h"
#include "observability/metrics.h"
#include "platform/error.h"
#include "platform/tls_context.h"
#include "server/connection.h"
#include "server/connection_tls.h"
#include "server/exposure_texts.h"
#include "server/proxy_header.h"
#include "server/server_observer.h"
#include "server/warning_limiter.h"

namespace kvx {
namespace {

// A client that has not finished its TLS handshake by then is closed.
constexpr std::chrono::seconds kHandshakeDeadline{10};

// The largest PROXY header: the version 2 fixed part and its longest tail.
constexpr std::size_t kProxyHeaderLimit = kProxyV2FixedLength + 65535;

std::string PeerText(const asio::ip::tcp::endpoint& endpoint) {
  return endpoint.address().to_string() + ":" + std::to_string(endpoint.port());
}

asio::ip::address PeerAddress(const ConnectionSocket& socket) {
  std::error_code ec;
  const asio::ip::tcp::endpoint peer = socket.remote_endpoint(ec);
  return ec ? asio::ip::address() : peer.address();
}

// Writes a warning about a refused connection unless one was written for
// the same address within the minute.
template <typename MakeText>
void WarnLimited(const ConnectionServices& services,
                 const asio::ip::address& client, MakeText make_text) {
  const std::string key = ClientKey(client);
  const WarningLimiter::Decision decision = services.warnings.Allow(key);
  if (decision.write) {
    services.events.WriteEventLog(make_text(key, decision.held_back),
                                  EventType::kWarning);
  }
}

}  // namespace

bool AdmitClient(const ConnectionServices& services,
                 const asio::ip::address& client, ConnectionSlot& slot) {
  const Exposure& exposure = services.exposure;
  if (!exposure.guards.allow.Allows(client)) {
    services.metrics.refused_allow_list.Add();
    WarnLimited(services, client,
                [](const std::string& key, std::uint64_t held_back) {
                  return NotAllowedText(key, held_back);
                });
    return false;
  }
  if (!exposure.limits) return true;
  const ConnectionLimits::Verdict verdict =
      exposure.limits->Admit(client, slot);
  if (verdict == ConnectionLimits::Verdict::kAdmitted) return true;
  services.metrics.refused_limit.Add();
  const bool per_client = verdict == ConnectionLimits::Verdict::kClientLimit;
  const std::int32_t limit = per_client
                                 ? exposure.guards.max_connections_per_client
                                 : exposure.guards.max_connections;
  WarnLimited(services, client,
              [&](const std::string& key, std::uint64_t held_back) {
                return LimitReachedText(key, per_client, limit, held_back);
              });
  return false;
}

void Connection::Begin() {
  if (closed_) return;
  // Reads only follow readiness; one that finds nothing after all must not
  // block the thread.
  std::error_code ignored;
  socket_.non_blocking(true, ignored);
  client_ = PeerAddress(socket_);
  if (!services_.settings.FProxyProtocol) {
    StartHandshake();
    return;
  }
  stage_ = Stage::kProxyHeader;
  Timer(stage_timer_).expires_after(kProxyHeaderDeadline);
  stage_timer_->async_wait(
      [self = shared_from_this()](const std::error_code& ec) {
        if (ec || self->closed_ || self->stage_ != Stage::kProxyHeader) return;
        self->RefuseHeader(ProxyHeaderLateText(self->peer_id_));
      });
  WaitReadable();
}

// How many bytes the next read of the PROXY header may take: never more
// than the header can still hold, so that the first byte after it stays in
// the socket for the TLS handshake or the receive buffer.
std::size_t Connection::HeaderBytesWanted() const {
  const std::size_t have = header_bytes_.size();
  // A version 1 line ends at its CR LF, which only a byte-wise read finds
  // without passing it.
  if (have == 0 || header_bytes_.front() == 'P') return 1;
  if (have < kProxyV2FixedLength) return kProxyV2FixedLength - have;
  const std::size_t tail =
      (static_cast<unsigned char>(header_bytes_[14]) << 8) |
      static_cast<unsigned char>(header_bytes_[15]);
  const std::size_t total = kProxyV2FixedLength + tail;
  return total > have ? total - have : 1;
}

void Connection::ReceiveHeader(const std::error_code& ec,
                               std::string_view bytes) {
  if (ec) {
    // The connection ended before its header did: no header at all.
    RefuseHeader(ProxyHeaderLateText(peer_id_));
    return;
  }
  header_bytes_.append(bytes);
  const ProxyHeader header = ParseProxyHeader(header_bytes_);
  if (header.parse == ProxyHeader::Parse::kBad ||
      (header.parse == ProxyHeader::Parse::kNeedMore &&
       header_bytes_.size() >= kProxyHeaderLimit)) {
    RefuseHeader(ProxyHeaderRefusedText(peer_id_, header.reason));
    return;
  }
  if (header.parse == ProxyHeader::Parse::kNeedMore) {
    WaitReadable();
    return;
  }
  CancelTimer(stage_timer_);
  std::string().swap(header_bytes_);
  if (header.keep_peer) {
    local_check_ = true;
  } else {
    client_ = header.source.address();
    peer_id_ = PeerText(header.source);
  }
  // Behind a balancer the allow-list and the limits apply to the client the
  // header names, not to the balancer.
  if (!AdmitClient(services_, client_, slot_)) {
    Shutdown();
    return;
  }
  StartHandshake();
}

void Connection::RefuseHeader(const std::string& text) {
  services_.metrics.refused_proxy_header.Add();
  const std::string key = ClientKey(client_);
  const WarningLimiter::Decision decision = services_.warnings.Allow(key);
  if (decision.write) services_.events.WriteEventLog(text, EventType::kWarning);
  Shutdown();
}

void Connection::StartHandshake() {
  if (!services_.exposure.guards.tls) {
    StartFrames();
    return;
  }
  stage_ = Stage::kHandshake;
  try {
    tls_ = std::make_unique<TlsLayer>(socket_,
                                      services_.exposure.guards.tls->Current());
  } catch (const std::exception& e) {
    RefuseHandshake(e.what());
    return;
  }
  Timer(stage_timer_).expires_after(kHandshakeDeadline);
  stage_timer_->async_wait(
      [self = shared_from_this()](const std::error_code& ec) {
        if (ec || self->closed_ || self->stage_ != Stage::kHandshake) return;
        self->RefuseHandshake("geen handshake binnen " +
                              std::to_string(kHandshakeDeadline.count()) +
                              " seconden");
      });
  tls_->stream.async_handshake(
      asio::ssl::stream_base::server,
      [self = shared_from_this()](const std::error_code& ec) {
        self->Handshaken(ec);
      });
}

void Connection::Handshaken(const std::error_code& ec) {
  if (closed_ || ec == asio::error::operation_aborted) return;
  CancelTimer(stage_timer_);
  if (ec) {
    RefuseHandshake(ec.message());
    return;
  }
  StartFrames();
}

void Connection::RefuseHandshake(const std::string& reason) {
  services_.metrics.refused_handshake.Add();
  WarnLimited(services_, client_,
              [&](const std::string& key, std::uint64_t held_back) {
                return HandshakeFailedText(key, reason, held_back);
              });
  Shutdown();
}

// The first frame byte may come now. A balancer's own check is traced only
// once it sends a byte, so that its checks every second leave no trace.
void Connection::StartFrames() {
  stage_ = Stage::kFrames;
  if (!local_check_ && !Trace()) return;
  WaitReadable();
}

// Makes the trace and records the connect; false after closing the
// connection when that fails.
bool Connection::Trace() {
  try {
    trace_ = services_.observer.MakeTrace(peer_id_);
    if (!trace_) trace_ = std::make_unique<NullConnectionTrace>();
    trace_->Connected();
    traced_ = true;
    return true;
  } catch (const Abort&) {
  } catch (const std::exception& e) {
    ReportConnectionException(e);
  }
  Shutdown();
  return false;
}

}  // namespace kvx
