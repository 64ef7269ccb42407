#include "fakes/tls_test_server.h"

#include <asio/ssl.hpp>
#include <asio/write.hpp>
#include <memory>

namespace kvx {

struct TlsTestServer::Session : std::enable_shared_from_this<Session> {
  Session(TlsTestServer& server, asio::ip::tcp::socket socket)
      : server(server),
        context(server.holder_.Current()),
        stream(std::move(socket), *context) {}

  void Start() {
    auto self = shared_from_this();
    stream.async_handshake(asio::ssl::stream_base::server,
                           [self](const std::error_code& ec) {
                             if (ec) {
                               std::scoped_lock lock(self->server.mutex_);
                               self->server.last_failure_ = ec.message();
                               ++self->server.failed_;
                               return;
                             }
                             ++self->server.done_;
                             self->Read();
                           });
  }

  void Read() {
    auto self = shared_from_this();
    stream.async_read_some(
        asio::buffer(chunk), [self](const std::error_code& ec, std::size_t n) {
          if (ec) return;
          self->received.append(self->chunk, n);
          self->reply = self->server.answer_(self->received);
          if (self->reply.empty()) return self->Read();
          asio::async_write(self->stream, asio::buffer(self->reply),
                            [self](const std::error_code& ec2, std::size_t) {
                              if (!ec2) self->Read();
                            });
        });
  }

  TlsTestServer& server;
  // Kept for the connection's lifetime, whatever the holder loads later.
  std::shared_ptr<asio::ssl::context> context;
  asio::ssl::stream<asio::ip::tcp::socket> stream;
  char chunk[4096];
  std::string received;
  std::string reply;
};

std::string TlsTestServer::Echo(std::string& received) {
  return std::exchange(received, std::string());
}

TlsTestServer::TlsTestServer(TlsContextHolder& holder, Answer answer)
    : holder_(holder),
      answer_(std::move(answer)),
      acceptor_(io_, asio::ip::tcp::endpoint(
                         asio::ip::make_address("127.0.0.1"), 0)) {
  port_ = acceptor_.local_endpoint().port();
  Accept();
  thread_ = std::thread([this] { io_.run(); });
}

TlsTestServer::~TlsTestServer() {
  io_.stop();
  thread_.join();
}

std::string TlsTestServer::last_failure() const {
  std::scoped_lock lock(mutex_);
  return last_failure_;
}

void TlsTestServer::Accept() {
  acceptor_.async_accept(
      [this](const std::error_code& ec, asio::ip::tcp::socket socket) {
        if (ec) return;
        std::make_shared<Session>(*this, std::move(socket))->Start();
        Accept();
      });
}

}  // namespace kvx
