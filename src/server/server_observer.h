// Hooks through which the connection server reports connections, traffic
// and failures (exception files, traffic log).
#ifndef KVX_SERVER_SERVER_OBSERVER_H_
#define KVX_SERVER_SERVER_OBSERVER_H_

#include <exception>
#include <memory>
#include <string>
#include <string_view>

namespace kvx {

// The trace of one connection. Its calls for one connection never overlap
// and come in the order of the connection's events; traces of different
// connections are called from several threads at once. Any call may throw:
// - Connected: before the first read; a throw ends the connection before it
//   is served and goes to ServerObserver::ConnectionException, and then no
//   Disconnected follows;
// - Received: for every socket read, with exactly its bytes, before they
//   enter the receive buffer; a throw is reported as "Data ontvanger: ";
// - Sent: for every write, with the whole block (a reply frame, or the NAK
//   byte), before it goes to the socket; a throw is reported as
//   "Ontvanger: " and that block is not sent;
// - Disconnected: when the connection ends, after Connected succeeded; a
//   throw goes to ServerObserver::ConnectionException.
class ConnectionTrace {
 public:
  virtual ~ConnectionTrace() = default;
  virtual void Connected() = 0;
  virtual void Received(std::string_view bytes) = 0;
  virtual void Sent(std::string_view bytes) = 0;
  virtual void Disconnected() = 0;
};

// The server's observer. Called from the server's threads, possibly several
// at once; must be thread-safe and outlive the server. Whatever a hook
// throws is caught by the server and never ends the listener or a thread.
class ServerObserver {
 public:
  virtual ~ServerObserver() = default;

  // The trace of a newly accepted connection (never null). `peer_id` is the
  // peer's "IP:port" ("0.0.0.0:0" when the socket no longer knows it); it stays
  // the connection's id until its closing record. A throw ends the
  // connection and goes to ConnectionException.
  virtual std::unique_ptr<ConnectionTrace> MakeTrace(
      const std::string& peer_id) = 0;

  // An exception that ended a connection's service.
  virtual void ConnectionException(const std::exception& e) = 0;

  // A failure while accepting; the listener backs off briefly and goes on.
  virtual void ListenException(const std::exception& e) = 0;
};

// A trace that records nothing.
class NullConnectionTrace final : public ConnectionTrace {
 public:
  void Connected() override {}
  void Received(std::string_view) override {}
  void Sent(std::string_view) override {}
  void Disconnected() override {}
};

// Records nothing.
class NullServerObserver final : public ServerObserver {
 public:
  std::unique_ptr<ConnectionTrace> MakeTrace(const std::string&) override {
    return std::make_unique<NullConnectionTrace>();
  }
  void ConnectionException(const std::exception&) override {}
  void ListenException(const std::exception&) override {}
};

}  // namespace kvx

#endif  // KVX_SERVER_SERVER_OBSERVER_H_
