#include "platform/tls_context.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <asio/ssl/context.hpp>
#include <cerrno>
#include <fstream>

#include "core/codepage.h"
#include "platform/error.h"

namespace kvx {
namespace {

// The reason of the last OpenSSL failure, and an empty error queue after.
std::string OpenSslReason() {
  std::string reason = OpenSslErrors();
  return reason.empty() ? "onbekende fout" : reason;
}

// Names a setting and its file in a failure text.
std::string Named(const char* setting, const std::string& path) {
  return std::string(setting) + " \"" + path + "\"";
}

// Fails with the system's reason when `path` cannot be opened for reading,
// so that a missing or unreadable file is told apart from a bad one.
void CheckReadable(const char* setting, const std::string& path) {
  std::ifstream file(Cp1252ToUtf8(path), std::ios::binary);
  if (!file) {
    const int error = errno;
    throw KvxError(Named(setting, path) +
                   " kan niet gelezen worden: " + SystemErrorText(error));
  }
}

void LoadChainAndKey(SSL_CTX* ctx, const std::string& cert,
                     const std::string& key) {
  CheckReadable("TLSCertificate", cert);
  CheckReadable("TLSKey", key);
  if (SSL_CTX_use_certificate_chain_file(ctx, Cp1252ToUtf8(cert).c_str()) !=
      1) {
    throw KvxError(
        Named("TLSCertificate", cert) +
        " bevat geen bruikbare PEM certificaatketen: " + OpenSslReason());
  }
  if (SSL_CTX_use_PrivateKey_file(ctx, Cp1252ToUtf8(key).c_str(),
                                  SSL_FILETYPE_PEM) != 1) {
    if (ERR_GET_REASON(ERR_peek_last_error()) == X509_R_KEY_VALUES_MISMATCH) {
      throw KvxError(Named("TLSKey", key) + " past niet bij " +
                     Named("TLSCertificate", cert) + ": " + OpenSslReason());
    }
    throw KvxError(
        Named("TLSKey", key) +
        " bevat geen bruikbare onversleutelde PEM sleutel: " + OpenSslReason());
  }
  if (SSL_CTX_check_private_key(ctx) != 1) {
    throw KvxError(Named("TLSKey", key) + " past niet bij " +
                   Named("TLSCertificate", cert) + ": " + OpenSslReason());
  }
}

void LoadClientCA(SSL_CTX* ctx, const std::string& ca) {
  CheckReadable("TLSClientCA", ca);
  const std::string path = Cp1252ToUtf8(ca);
  STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(path.c_str());
  if (names == nullptr ||
      SSL_CTX_load_verify_locations(ctx, path.c_str(), nullptr) != 1) {
    if (names != nullptr) sk_X509_NAME_pop_free(names, X509_NAME_free);
    throw KvxError(Named("TLSClientCA", ca) +
                   " bevat geen bruikbaar PEM certificaat: " + OpenSslReason());
  }
  SSL_CTX_set_client_CA_list(ctx, names);  // takes `names`
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT,
                     nullptr);
  // Resumed sessions must belong to this listener's verification.
  static const unsigned char kSessionContext[] = "KvxTCPServer";
  SSL_CTX_set_session_id_context(ctx, kSessionContext,
                                 sizeof kSessionContext - 1);
}

}  // namespace

std::string OpenSslErrors() {
  std::string reason;
  while (const unsigned long code = ERR_get_error()) {
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    if (!reason.empty()) reason += "; ";
    reason += text;
  }
  return reason;
}

int RefusePassphrase(char* /*buf*/, int /*size*/, int /*rwflag*/,
                     void* /*user*/) {
  return 0;
}

bool TlsWanted(const TlsSettings& settings) {
  return !settings.certificate.empty() || !settings.key.empty();
}

std::string ResolveProgramPath(const std::string& program_directory,
                               const std::string& path) {
  if (!path.empty() && path.front() == '/') return path;
  return program_directory + path;
}

std::shared_ptr<asio::ssl::context> MakeServerTlsContext(
    const TlsSettings& settings, const std::string& program_directory) {
  if (settings.certificate.empty()) {
    throw KvxError("TLSKey is ingesteld maar TLSCertificate niet");
  }
  if (settings.key.empty()) {
    throw KvxError("TLSCertificate is ingesteld maar TLSKey niet");
  }
  ERR_clear_error();
  auto context =
      std::make_shared<asio::ssl::context>(asio::ssl::context::tls_server);
  SSL_CTX* ctx = context->native_handle();
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(ctx, 0);  // the highest the library knows
  SSL_CTX_set_options(ctx, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION);
  SSL_CTX_set_default_passwd_cb(ctx, RefusePassphrase);
  LoadChainAndKey(ctx,
                  ResolveProgramPath(program_directory, settings.certificate),
                  ResolveProgramPath(program_directory, settings.key));
  if (!settings.client_ca.empty()) {
    LoadClientCA(ctx,
                 ResolveProgramPath(program_directory, settings.client_ca));
  }
  return context;
}

TlsContextHolder::TlsContextHolder(TlsSettings settings,
                                   std::string program_directory)
    : settings_(std::move(settings)),
      program_directory_(std::move(program_directory)),
      current_(MakeServerTlsContext(settings_, program_directory_)) {}

std::shared_ptr<asio::ssl::context> TlsContextHolder::Current() const {
  MutexLock lock(mutex_);
  return current_;
}

void TlsContextHolder::Reload() {
  // Built outside the lock: new connections keep taking the old context
  // while the files are read.
  auto fresh = MakeServerTlsContext(settings_, program_directory_);
  MutexLock lock(mutex_);
  current_ = std::move(fresh);
}

}  // namespace kvx
