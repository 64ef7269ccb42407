// kvx-send over TLS, against an in-process TLS peer that answers every
// frame as a gateway does.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "core/frame.h"
#include "fakes/test_certificates.h"
#include "fakes/tls_test_server.h"
#include "platform/tls_context.h"
#include "tools/arguments.h"
#include "tools/send_tool.h"

namespace kvx {
namespace {

constexpr char kReply[] =
    "<MSG tag=\"7\" type=\"INF\"><Verzender>cd</Verzender>"
    "<Ontvanger>ab</Ontvanger><KaveroInfo></KaveroInfo></MSG>";

// Answers each whole frame with the INF reply.
std::string AnswerFrames(std::string& received) {
  std::string answer;
  for (std::size_t eot; (eot = received.find(EOT)) != std::string::npos;) {
    received.erase(0, eot + 1);
    answer += BuildFrame(kReply);
  }
  return answer;
}

class SendTlsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { certs_ = new TestCertificates(); }
  static void TearDownTestSuite() {
    delete certs_;
    certs_ = nullptr;
  }

  int Send(TlsTestServer& server, std::vector<std::string> extra) {
    std::vector<std::string> args = {"--port",    std::to_string(server.port()),
                                     "--timeout", "3",
                                     "--tag",     "7",
                                     "--from",    "ab",
                                     "--to",      "cd"};
    args.insert(args.end(), extra.begin(), extra.end());
    const SendOptions o = ParseSendArguments(args);
    out_.str("");
    err_.str("");
    return SendMessages(o, {ComposeMessage(o), ComposeMessage(o)}, out_, err_);
  }

  static TestCertificates* certs_;
  std::ostringstream out_, err_;
};

TestCertificates* SendTlsTest::certs_ = nullptr;

TEST_F(SendTlsTest, ReadsTheTlsOptions) {
  const SendOptions o = ParseSendArguments(
      {"--tls", "--ca", "ca.pem", "--cert", "c.pem", "--key", "c.key"});
  EXPECT_TRUE(o.tls);
  EXPECT_EQ(o.ca, "ca.pem");
  EXPECT_EQ(o.cert, "c.pem");
  EXPECT_EQ(o.key, "c.key");
  EXPECT_FALSE(ParseSendArguments({}).tls);
  const std::vector<std::vector<std::string>> kBad = {
      {"--ca", "ca.pem"},
      {"--cert", "c.pem", "--key", "c.key"},
      {"--tls", "--cert", "c.pem"},
      {"--tls", "--key", "c.key"},
      {"--tls=1"},
      {"--tls", "--ca"},
  };
  for (const auto& args : kBad) {
    EXPECT_THROW(ParseSendArguments(args), UsageError) << args.back();
  }
}

TEST_F(SendTlsTest, GetsTheRepliesOverTls) {
  TlsContextHolder holder({certs_->server_cert(), certs_->server_key(), ""},
                          "/unused/");
  TlsTestServer server(holder, AnswerFrames);
  EXPECT_EQ(Send(server, {"--tls", "--ca", certs_->ca()}), kExitAnswered)
      << err_.str();
  EXPECT_EQ(out_.str(), std::string(kReply) + "\n" + kReply + "\n");
  // Without --tls the peer never answers in clear text.
  EXPECT_EQ(Send(server, {}), kExitFailed);
  EXPECT_EQ(out_.str(), "");
  // Nor with a CA that did not sign the gateway's certificate.
  EXPECT_EQ(Send(server, {"--tls", "--ca", certs_->other_ca()}), kExitFailed);
  EXPECT_NE(err_.str().find("TLS handshake with 127.0.0.1:"), std::string::npos)
      << err_.str();
}

TEST_F(SendTlsTest, PresentsItsCertificateToAMutualTlsPeer) {
  TlsContextHolder holder(
      {certs_->server_cert(), certs_->server_key(), certs_->ca()}, "/unused/");
  TlsTestServer server(holder, AnswerFrames);
  EXPECT_EQ(
      Send(server, {"--tls", "--ca", certs_->ca(), "--cert",
                    certs_->client_cert(), "--key", certs_->client_key()}),
      kExitAnswered)
      << err_.str();
  EXPECT_EQ(Send(server, {"--tls", "--ca", certs_->ca()}), kExitFailed);
  EXPECT_EQ(out_.str(), "");
  EXPECT_EQ(Send(server, {"--tls", "--ca", certs_->ca(), "--cert",
                          certs_->other_client_cert(), "--key",
                          certs_->other_client_key()}),
            kExitFailed);
  EXPECT_EQ(out_.str(), "");
}

}  // namespace
}  // namespace kvx
