// The HTTP endpoint over real loopback sockets.
#include "observability/http_endpoint.h"

#include <gtest/gtest.h>

#include <asio.hpp>
#include <atomic>
#include <string>

#include "platform/error.h"

namespace kvx {
namespace {

// One request on a fresh connection; the whole response, up to the close.
std::string Request(std::uint16_t port, const std::string& method,
                    const std::string& target) {
  asio::io_context io;
  asio::ip::tcp::socket socket(io);
  socket.connect({asio::ip::make_address("127.0.0.1"), port});
  const std::string request = method + " " + target +
                              " HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                              "Connection: close\r\n\r\n";
  asio::write(socket, asio::buffer(request));
  std::string response;
  std::error_code ec;
  char buf[4096];
  for (;;) {
    const std::size_t n = socket.read_some(asio::buffer(buf), ec);
    response.append(buf, n);
    if (ec) break;
  }
  return response;
}

class HttpEndpointTest : public ::testing::Test {
 protected:
  HttpEndpointTest()
      : endpoint_(
            HttpPages{[this] {
                        ++calls_;
                        return HttpReply{200, "text/plain", "metrics body"};
                      },
                      [] {
                        return HttpReply{503, "application/json", "{}"};
                      },
                      [] {
                        return HttpReply{200, "text/html", "<p>page</p>"};
                      }}) {
    endpoint_.Start("127.0.0.1", 0);
    port_ = endpoint_.Port();
  }

  std::atomic<int> calls_{0};
  HttpEndpoint endpoint_;
  std::uint16_t port_ = 0;
};

TEST_F(HttpEndpointTest, ServesThePagesToGetOnly) {
  ASSERT_TRUE(endpoint_.Active());
  ASSERT_NE(port_, 0);
  struct Case {
    const char* method;
    const char* target;
    const char* status_line;
    const char* body;
  };
  const Case kCases[] = {
      {"GET", "/metrics", "HTTP/1.1 200 OK", "metrics body"},
      {"GET", "/metrics?x=1", "HTTP/1.1 200 OK", "metrics body"},
      {"GET", "/health", "HTTP/1.1 503 Service Unavailable", "{}"},
      {"GET", "/", "HTTP/1.1 200 OK", "<p>page</p>"},
      {"GET", "/metrics/", "HTTP/1.1 404 Not Found", "Not found\n"},
      {"GET", "/index.html", "HTTP/1.1 404 Not Found", "Not found\n"},
      {"POST", "/metrics", "HTTP/1.1 405 Method Not Allowed",
       "Method not allowed\n"},
      {"DELETE", "/", "HTTP/1.1 405 Method Not Allowed",
       "Method not allowed\n"},
  };
  for (const Case& c : kCases) {
    const std::string response = Request(port_, c.method, c.target);
    const std::string where = std::string(c.method) + " " + c.target;
    EXPECT_EQ(response.rfind(c.status_line, 0), 0u) << where << response;
    const std::size_t head_end = response.find("\r\n\r\n");
    ASSERT_NE(head_end, std::string::npos) << where;
    EXPECT_EQ(response.substr(head_end + 4), c.body) << where;
    if (std::string(c.method) != "GET") {
      EXPECT_NE(response.find("Allow: GET\r\n"), std::string::npos) << where;
    }
  }
  EXPECT_EQ(calls_, 2) << "only GET /metrics made the metrics page";
}

TEST_F(HttpEndpointTest, RefusesATakenPortOrABadAddressAndStops) {
  HttpEndpoint other(HttpPages{});
  EXPECT_THROW(other.Start("127.0.0.1", port_), KvxError);
  EXPECT_FALSE(other.Active());
  EXPECT_THROW(other.Start("localhost", 0), KvxError);
  EXPECT_THROW(other.Start("127.0.0.1:80", 0), KvxError);
  EXPECT_FALSE(other.Active());
  endpoint_.Stop();
  endpoint_.Stop();
  EXPECT_FALSE(endpoint_.Active());
  asio::io_context io;
  asio::ip::tcp::socket socket(io);
  std::error_code ec;
  socket.connect({asio::ip::make_address("127.0.0.1"), port_}, ec);
  EXPECT_TRUE(ec) << "nothing listens once stopped";
}

}  // namespace
}  // namespace kvx
