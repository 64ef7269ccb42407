// The HTTP listener of /metrics, /health and /, on threads of its own.
#ifndef KVX_OBSERVABILITY_HTTP_ENDPOINT_H_
#define KVX_OBSERVABILITY_HTTP_ENDPOINT_H_

#include <cstdint>
#include <string>

#include "observability/http_routes.h"

struct mg_context;

namespace kvx {

// Owned by the service module. The embedded server runs its own small pool
// of threads, so a slow or stuck HTTP client never holds up a frame step.
// Start and Stop are called from one thread at a time.
class HttpEndpoint {
 public:
  explicit HttpEndpoint(HttpPages pages);
  ~HttpEndpoint();
  HttpEndpoint(const HttpEndpoint&) = delete;
  HttpEndpoint& operator=(const HttpEndpoint&) = delete;

  // Listens on `address` (an IPv4 or IPv6 address text) and `port` (0: the
  // system picks one). Throws KvxError with the reason when the address is
  // not one or the listener cannot bind; the endpoint then stays off.
  // Does nothing while listening.
  void Start(const std::string& address, std::uint16_t port);
  // Closes the listener and waits for requests in progress. Idempotent.
  void Stop();

  bool Active() const { return context_ != nullptr; }
  // The port listened on; 0 while off.
  std::uint16_t Port() const;

  // Called by the embedded server for every request.
  HttpReply Handle(std::string_view method, std::string_view path) const;

 private:
  HttpPages pages_;
  mg_context* context_ = nullptr;
};

}  // namespace kvx

#endif  // KVX_OBSERVABILITY_HTTP_ENDPOINT_H_
