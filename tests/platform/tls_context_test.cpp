// The listener's TLS context: loading certificate, key and client CA,
// mutual TLS, reloading for new connections, and the client side of the
// tools, against an in-process TLS peer on 127.0.0.1.
#include "platform/tls_context.h"

#include <gtest/gtest.h>

#include <asio/ssl/context.hpp>
#include <filesystem>
#include <fstream>
#include <memory>

#include "fakes/test_certificates.h"
#include "fakes/tls_test_server.h"
#include "fakes/wait_for.h"
#include "platform/error.h"
#include "platform/tcp_client.h"

namespace kvx {
namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;
using std::chrono::steady_clock;

class TlsContextTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { certs_ = new TestCertificates(); }
  static void TearDownTestSuite() {
    delete certs_;
    certs_ = nullptr;
  }

  static TlsSettings ServerSettings(std::string ca = "") {
    return {certs_->server_cert(), certs_->server_key(), std::move(ca)};
  }

  // Connects, runs the handshake and echoes `text`; returns what came back.
  static std::string EchoOver(TcpClient& client, std::uint16_t port,
                              const TlsClientOptions& options,
                              const std::string& text) {
    const auto deadline = steady_clock::now() + seconds(5);
    client.Connect("127.0.0.1", port, deadline);
    client.StartTls(options, deadline);
    return EchoAgain(client, text);
  }

  static std::string EchoAgain(TcpClient& client, const std::string& text) {
    const auto deadline = steady_clock::now() + seconds(5);
    client.SendAll(text, deadline);
    std::string got;
    while (got.size() < text.size()) {
      if (client.ReadSome(got, deadline) != TcpClient::Read::kData) break;
    }
    return got;
  }

  static TestCertificates* certs_;
};

TestCertificates* TlsContextTest::certs_ = nullptr;

TEST_F(TlsContextTest, ServesTlsWithTheCertificateChain) {
  TlsContextHolder holder(ServerSettings(), "/unused/");
  TlsTestServer server(holder);
  TcpClient client;
  EXPECT_EQ(EchoOver(client, server.port(), {certs_->ca(), "", ""}, "hello"),
            "hello");
  EXPECT_EQ(client.PeerCommonName(), "kvx-test-server");
  EXPECT_FALSE(holder.verifies_clients());
}

TEST_F(TlsContextTest, ClientRefusesAServerItCannotVerify) {
  TlsContextHolder holder(ServerSettings(), "/unused/");
  TlsTestServer server(holder);
  TcpClient client;
  const auto deadline = steady_clock::now() + seconds(5);
  client.Connect("127.0.0.1", server.port(), deadline);
  // The certificate of another CA cannot vouch for this server.
  EXPECT_THROW(client.StartTls({certs_->other_ca(), "", ""}, deadline),
               KvxError);
}

TEST_F(TlsContextTest, ClearTextClientGetsNothing) {
  TlsContextHolder holder(ServerSettings(), "/unused/");
  TlsTestServer server(holder);
  TcpClient client;
  const auto deadline = steady_clock::now() + seconds(5);
  client.Connect("127.0.0.1", server.port(), deadline);
  client.SendAll(
      "\x01"
      "4\x02QUJD\x04",
      deadline);
  std::string got;
  TcpClient::Read r;
  do {
    r = client.ReadSome(got, deadline);
  } while (r == TcpClient::Read::kData);
  EXPECT_EQ(r, TcpClient::Read::kClosed);
  // At most a TLS alert, never an answer in clear text.
  EXPECT_EQ(got.find('\x01'), std::string::npos);
  EXPECT_TRUE(WaitFor([&] { return server.handshakes_failed() == 1; }));
}

TEST_F(TlsContextTest, MutualTlsNeedsACertificateOfTheClientCA) {
  TlsContextHolder holder(ServerSettings(certs_->ca()), "/unused/");
  ASSERT_TRUE(holder.verifies_clients());
  TlsTestServer server(holder);
  struct Case {
    const char* what;
    std::string cert, key;
    bool served;
  } cases[] = {
      {"CA's client", certs_->client_cert(), certs_->client_key(), true},
      {"no certificate", "", "", false},
      {"other CA's client", certs_->other_client_cert(),
       certs_->other_client_key(), false},
  };
  for (const auto& c : cases) {
    TcpClient client;
    std::string got;
    try {
      got = EchoOver(client, server.port(), {certs_->ca(), c.cert, c.key},
                     "frame");
    } catch (const KvxError&) {
      // Refused during or (TLS 1.3) right after the handshake.
    }
    EXPECT_EQ(got == "frame", c.served) << c.what;
  }
  // The server may see a refusal just after the client did.
  EXPECT_TRUE(WaitFor([&] { return server.handshakes_failed() == 2; }));
  EXPECT_EQ(server.handshakes_done(), 1);
}

TEST_F(TlsContextTest, RelativePathsAreInTheProgramDirectory) {
  const std::string dir = certs_->dir() + "/";
  TlsContextHolder holder({"server.pem", "server.key", "ca.pem"}, dir);
  EXPECT_TRUE(holder.Current());
  EXPECT_EQ(ResolveProgramPath(dir, "/etc/x.pem"), "/etc/x.pem");
  EXPECT_EQ(ResolveProgramPath(dir, "sub/x.pem"), dir + "sub/x.pem");
}

TEST_F(TlsContextTest, UnusableFilesFailWithATextNamingSettingAndFile) {
  const std::string garbage = certs_->Path("garbage.pem");
  std::ofstream(garbage) << "not a certificate\n";
  const std::string encrypted = certs_->Path("encrypted.key");
  ASSERT_EQ(std::system(("openssl pkey -in '" + certs_->server_key() +
                         "' -aes256 -passout pass:geheim -out '" + encrypted +
                         "' 2>/dev/null")
                            .c_str()),
            0);
  const std::string missing = certs_->Path("missing.pem");
  struct Case {
    TlsSettings settings;
    std::string want;  // a part of the failure text
  } cases[] = {
      {{missing, certs_->server_key(), ""}, "TLSCertificate \"" + missing},
      {{certs_->server_cert(), missing, ""}, "TLSKey \"" + missing},
      {{certs_->server_cert(), certs_->Path(""), ""}, "TLSKey"},  // directory
      {{garbage, certs_->server_key(), ""}, "PEM certificaatketen"},
      {{certs_->server_cert(), garbage, ""}, "PEM sleutel"},
      {{certs_->server_cert(), encrypted, ""}, "onversleutelde PEM sleutel"},
      {{certs_->server_cert(), certs_->client_key(), ""}, "past niet bij"},
      {{certs_->server_cert(), certs_->server_key(), garbage},
       "TLSClientCA \"" + garbage},
      {{certs_->server_cert(), certs_->server_key(), missing},
       "TLSClientCA \"" + missing},
      {{certs_->server_cert(), "", ""}, "TLSKey niet"},
      {{"", certs_->server_key(), ""}, "TLSCertificate niet"},
  };
  for (const auto& c : cases) {
    try {
      TlsContextHolder holder(c.settings, "/unused/");
      ADD_FAILURE() << "loaded: " << c.want;
    } catch (const KvxError& e) {
      EXPECT_NE(std::string(e.what()).find(c.want), std::string::npos)
          << e.what();
    }
  }
}

TEST_F(TlsContextTest, TlsIsWantedWhenEitherFileIsSet) {
  EXPECT_FALSE(TlsWanted({"", "", ""}));
  EXPECT_FALSE(TlsWanted({"", "", "ca.pem"}));
  EXPECT_TRUE(TlsWanted({"c.pem", "", ""}));
  EXPECT_TRUE(TlsWanted({"", "k.pem", ""}));
}

TEST_F(TlsContextTest, ReloadServesNewConnectionsAndKeepsOpenOnes) {
  // Files of its own, replaced as an operator renews them.
  const std::string cert = certs_->Path("live.pem");
  const std::string key = certs_->Path("live.key");
  fs::copy_file(certs_->server_cert(), cert,
                fs::copy_options::overwrite_existing);
  fs::copy_file(certs_->server_key(), key,
                fs::copy_options::overwrite_existing);
  TlsContextHolder holder({cert, key, ""}, "/unused/");
  TlsTestServer server(holder);
  const TlsClientOptions options{certs_->ca(), "", ""};
  TcpClient open_before;
  ASSERT_EQ(EchoOver(open_before, server.port(), options, "one"), "one");

  certs_->MakeServer("renewed", "kvx-renewed-server");
  fs::copy_file(certs_->Path("renewed.pem"), cert,
                fs::copy_options::overwrite_existing);
  fs::copy_file(certs_->Path("renewed.key"), key,
                fs::copy_options::overwrite_existing);
  const auto old_context = holder.Current();
  holder.Reload();
  EXPECT_NE(holder.Current(), old_context);

  TcpClient opened_after;
  ASSERT_EQ(EchoOver(opened_after, server.port(), options, "two"), "two");
  EXPECT_EQ(opened_after.PeerCommonName(), "kvx-renewed-server");
  EXPECT_EQ(open_before.PeerCommonName(), "kvx-test-server");
  EXPECT_EQ(EchoAgain(open_before, "three"), "three");

  // A failed reload keeps what was loaded.
  std::ofstream(key, std::ios::trunc) << "half written\n";
  const auto loaded = holder.Current();
  EXPECT_THROW(holder.Reload(), KvxError);
  EXPECT_EQ(holder.Current(), loaded);
  TcpClient still;
  EXPECT_EQ(EchoOver(still, server.port(), options, "four"), "four");
}

}  // namespace
}  // namespace kvx
