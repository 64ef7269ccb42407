// The benchmark's TLS load against an in-process TLS peer that answers
// each COM frame with an INF reply carrying its tag.
#include "tls_load.h"

#include <gtest/gtest.h>

#include "core/frame.h"
#include "core/message_texts.h"
#include "fakes/test_certificates.h"
#include "fakes/tls_test_server.h"

namespace kvx::bench {
namespace {

TlsTestServer::Answer Replies(const std::string& tag_suffix) {
  return [tag_suffix](std::string& received) {
    std::string answer;
    for (std::size_t eot; (eot = received.find(EOT)) != std::string::npos;) {
      const UnpackedFrame frame =
          UnpackFirstFrame(std::string_view(received).substr(0, eot + 1));
      received.erase(0, eot + 1);
      answer += BuildFrame("<MSG tag=\"" + ExtractMsgTag(frame.message) +
                           tag_suffix + "\" type=\"INF\"></MSG>");
    }
    return answer;
  };
}

class TlsLoadTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { certs_ = new TestCertificates(); }
  static void TearDownTestSuite() {
    delete certs_;
    certs_ = nullptr;
  }
  static TestCertificates* certs_;
};

TestCertificates* TlsLoadTest::certs_ = nullptr;

TEST_F(TlsLoadTest, CountsEveryCorrectReply) {
  TlsContextHolder holder({certs_->server_cert(), certs_->server_key(), ""},
                          "/unused/");
  TlsTestServer server(holder, Replies(""));
  Target target;
  target.port = server.port();
  LoadOptions options;
  options.connections = 5;
  options.frames = 50;
  options.pipeline = 4;
  options.timeout_seconds = 10;
  const LoadResult r = RunTlsLoad(target, options, {certs_->ca(), "", ""});
  EXPECT_EQ(r.replies, 250);
  EXPECT_EQ(r.errors, 0) << r.first_error;
  EXPECT_EQ(r.latencies_us.size(), 250u);
  EXPECT_GT(r.seconds, 0);
}

TEST_F(TlsLoadTest, CountsWrongRepliesAndFailedHandshakesAsErrors) {
  TlsContextHolder holder({certs_->server_cert(), certs_->server_key(), ""},
                          "/unused/");
  TlsTestServer server(holder, Replies("x"));
  Target target;
  target.port = server.port();
  LoadOptions options;
  options.connections = 2;
  options.frames = 10;
  options.timeout_seconds = 10;
  LoadResult r = RunTlsLoad(target, options, {certs_->ca(), "", ""});
  EXPECT_EQ(r.replies, 0);
  EXPECT_EQ(r.errors, 20);
  EXPECT_NE(r.first_error.find("wanted INF tag"), std::string::npos)
      << r.first_error;

  r = RunTlsLoad(target, options, {certs_->other_ca(), "", ""});
  EXPECT_EQ(r.errors, 20);
  EXPECT_NE(r.first_error.find("TLS handshake"), std::string::npos)
      << r.first_error;
}

}  // namespace
}  // namespace kvx::bench
