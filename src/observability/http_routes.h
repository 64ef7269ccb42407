// Which page answers an HTTP request: GET only, three paths.
#ifndef KVX_OBSERVABILITY_HTTP_ROUTES_H_
#define KVX_OBSERVABILITY_HTTP_ROUTES_H_

#include <functional>
#include <string>
#include <string_view>

namespace kvx {

struct HttpReply {
  int status = 200;
  std::string content_type;
  std::string body;
};

// The three pages; each is called on a thread of the HTTP server and must be
// safe to call from any thread.
struct HttpPages {
  std::function<HttpReply()> metrics;  // "/metrics"
  std::function<HttpReply()> health;   // "/health"
  std::function<HttpReply()> status;   // "/"
};

// GET of "/metrics", "/health" or "/" gives that page; any other method
// 405 (the adapter adds "Allow: GET"), any other path 404. The path is the
// request's path without its query.
HttpReply Route(std::string_view method, std::string_view path,
                const HttpPages& pages);

}  // namespace kvx

#endif  // KVX_OBSERVABILITY_HTTP_ROUTES_H_
