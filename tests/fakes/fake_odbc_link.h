// A database link without a database: driver connections whose outcome the
// test sets, recording what the service asked of them.
#ifndef KVX_TESTS_FAKES_FAKE_ODBC_LINK_H_
#define KVX_TESTS_FAKES_FAKE_ODBC_LINK_H_

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.h"
#include "platform/odbc.h"

namespace kvx {

// The driver's side of every connection the link made. Confined to the
// service thread, as the connections are.
struct FakeOdbcServer {
  bool connected = false;
  bool dead = false;  // the driver reports the connection lost
  std::string error;  // non-empty: Connect fails with this text
  std::vector<std::string> connection_strings;  // one per Connect
  std::vector<int> login_timeouts;              // one per Connect
  int disconnects = 0;                          // of a connection that was up
};

class FakeOdbcConnection final : public OdbcConnection {
 public:
  explicit FakeOdbcConnection(FakeOdbcServer& server) : server_(server) {}
  void Connect(std::string_view connection_string,
               int login_timeout_s) override {
    server_.connection_strings.emplace_back(connection_string);
    server_.login_timeouts.push_back(login_timeout_s);
    // A connection still held is released first, as the driver's is.
    server_.connected = false;
    if (!server_.error.empty()) throw KvxError(server_.error);
    server_.connected = true;
    server_.dead = false;
  }
  bool IsConnected() override { return server_.connected && !server_.dead; }
  void Disconnect() noexcept override {
    if (server_.connected) ++server_.disconnects;
    server_.connected = false;
  }

 private:
  FakeOdbcServer& server_;
};

// The factory the module receives through its Platform.
class FakeOdbcLink final : public OdbcConnectionFactory {
 public:
  std::unique_ptr<OdbcConnection> NewConnection() override {
    ++connections_made;
    return std::make_unique<FakeOdbcConnection>(server);
  }

  FakeOdbcServer server;
  int connections_made = 0;
};

}  // namespace kvx

#endif  // KVX_TESTS_FAKES_FAKE_ODBC_LINK_H_
