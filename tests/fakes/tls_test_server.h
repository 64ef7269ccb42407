// A TLS peer for tests: accepts on 127.0.0.1 with the context a
// TlsContextHolder holds at each accept, and answers what each connection
// sends through a function of the test.
#ifndef KVX_TESTS_FAKES_TLS_TEST_SERVER_H_
#define KVX_TESTS_FAKES_TLS_TEST_SERVER_H_

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "platform/tls_context.h"

namespace kvx {

class TlsTestServer {
 public:
  // Takes what has arrived on one connection, removes what it answers and
  // returns the answer (empty: wait for more).
  using Answer = std::function<std::string(std::string& received)>;

  // Echoes every byte.
  static std::string Echo(std::string& received);

  // `holder` must outlive the server. Runs on a thread of its own.
  TlsTestServer(TlsContextHolder& holder, Answer answer = Echo);
  ~TlsTestServer();
  TlsTestServer(const TlsTestServer&) = delete;
  TlsTestServer& operator=(const TlsTestServer&) = delete;

  std::uint16_t port() const { return port_; }
  int handshakes_done() const { return done_; }
  int handshakes_failed() const { return failed_; }
  // The reason of the last failed handshake.
  std::string last_failure() const;

 private:
  struct Session;
  void Accept();

  TlsContextHolder& holder_;
  Answer answer_;
  asio::io_context io_;
  asio::ip::tcp::acceptor acceptor_;
  std::uint16_t port_ = 0;
  std::atomic<int> done_{0};
  std::atomic<int> failed_{0};
  mutable std::mutex mutex_;
  std::string last_failure_;
  std::thread thread_;
};

}  // namespace kvx

#endif  // KVX_TESTS_FAKES_TLS_TEST_SERVER_H_
