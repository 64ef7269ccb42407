#include "observability/http_routes.h"

namespace kvx {
namespace {

HttpReply Plain(int status, std::string body) {
  return HttpReply{status, "text/plain; charset=utf-8", std::move(body)};
}

}  // namespace

HttpReply Route(std::string_view method, std::string_view path,
                const HttpPages& pages) {
  if (method != "GET") return Plain(405, "Method not allowed\n");
  if (path == "/metrics") return pages.metrics();
  if (path == "/health") return pages.health();
  if (path == "/") return pages.status();
  return Plain(404, "Not found\n");
}

}  // namespace kvx
