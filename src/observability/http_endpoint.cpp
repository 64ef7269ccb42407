#include "observability/http_endpoint.h"

#include <civetweb.h>

#include <asio/ip/address.hpp>
#include <mutex>

#include "platform/error.h"

namespace kvx {
namespace {

const char* Reason(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 503:
      return "Service Unavailable";
    default:
      return "Internal Server Error";
  }
}

int OnRequest(mg_connection* conn, void* data) {
  const auto* endpoint = static_cast<const HttpEndpoint*>(data);
  const mg_request_info* info = mg_get_request_info(conn);
  HttpReply reply;
  try {
    reply = endpoint->Handle(info->request_method ? info->request_method : "",
                             info->local_uri ? info->local_uri : "");
  } catch (const std::exception&) {
    reply = HttpReply{500, "text/plain; charset=utf-8", "Internal error\n"};
  }
  mg_printf(conn,
            "HTTP/1.1 %d %s\r\nContent-Type: %s\r\nContent-Length: %zu\r\n"
            "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n"
            "%sConnection: close\r\n\r\n",
            reply.status, Reason(reply.status), reply.content_type.c_str(),
            reply.body.size(), reply.status == 405 ? "Allow: GET\r\n" : "");
  mg_write(conn, reply.body.data(), reply.body.size());
  return reply.status;  // handled: a status of 1 to 999
}

// The embedded server would otherwise print its own complaints on stderr.
int Quiet(const mg_connection*, const char*) { return 1; }

// "addr:port", the IPv6 address in brackets. Throws for a text that is not
// an address: the embedded server would read other forms its own way.
std::string ListeningPort(const std::string& address, std::uint16_t port) {
  std::error_code ec;
  const asio::ip::address a = asio::ip::make_address(address, ec);
  if (ec) throw KvxError("\"" + address + "\" is geen IP-adres");
  const std::string host =
      a.is_v6() ? "[" + a.to_string() + "]" : a.to_string();
  return host + ":" + std::to_string(port);
}

}  // namespace

HttpEndpoint::HttpEndpoint(HttpPages pages) : pages_(std::move(pages)) {}

HttpEndpoint::~HttpEndpoint() { Stop(); }

void HttpEndpoint::Start(const std::string& address, std::uint16_t port) {
  if (context_) return;
  static std::once_flag library;
  std::call_once(library, [] { mg_init_library(0); });
  const std::string ports = ListeningPort(address, port);
  const char* options[] = {"listening_ports",
                           ports.c_str(),
                           "num_threads",
                           "2",
                           "request_timeout_ms",
                           "10000",
                           "enable_keep_alive",
                           "no",
                           nullptr};
  mg_callbacks callbacks{};
  callbacks.log_message = Quiet;
  mg_init_data init{};
  init.callbacks = &callbacks;
  init.user_data = this;
  init.configuration_options = options;
  char text[256] = "";
  mg_error_data error{};
  error.text = text;
  error.text_buffer_size = sizeof text;
  mg_context* context = mg_start2(&init, &error);
  if (!context) {
    throw KvxError(std::string("kan ") + ports + " niet openen: " + text);
  }
  mg_set_request_handler(context, "/", OnRequest, this);
  context_ = context;
}

void HttpEndpoint::Stop() {
  if (!context_) return;
  mg_stop(context_);
  context_ = nullptr;
}

std::uint16_t HttpEndpoint::Port() const {
  if (!context_) return 0;
  mg_server_port ports[4]{};
  const int n = mg_get_server_ports(context_, 4, ports);
  return n > 0 ? static_cast<std::uint16_t>(ports[0].port) : 0;
}

HttpReply HttpEndpoint::Handle(std::string_view method,
                               std::string_view path) const {
  return Route(method, path, pages_);
}

}  // namespace kvx
