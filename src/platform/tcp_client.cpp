#include "platform/tcp_client.h"

#include <fcntl.h>
#include <netdb.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "platform/error.h"
#include "platform/tls_context.h"

namespace kvx {

namespace {

int MillisecondsLeft(TcpClient::Deadline deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// Waits for `events` on `fd`; false when the deadline passes first.
bool Wait(int fd, short events, TcpClient::Deadline deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    int n = ::poll(&p, 1, MillisecondsLeft(deadline));
    if (n > 0) return true;
    if (n == 0) return false;
    if (errno != EINTR) throw PosixError({}, errno);
  }
}

struct AddrInfoFree {
  void operator()(addrinfo* a) const { ::freeaddrinfo(a); }
};

// A non-blocking connect to one address; the socket, or nothing with
// `error` set.
UniqueFd ConnectOne(const addrinfo& a, TcpClient::Deadline deadline,
                    int& error) {
  UniqueFd fd(::socket(a.ai_family,
                       a.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                       a.ai_protocol));
  if (!fd.valid()) {
    error = errno;
    return fd;
  }
  if (::connect(fd.get(), a.ai_addr, a.ai_addrlen) == 0) return fd;
  if (errno == EINPROGRESS) {
    if (!Wait(fd.get(), POLLOUT, deadline)) {
      error = ETIMEDOUT;
      return UniqueFd();
    }
    socklen_t len = sizeof(error);
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &len) == 0 &&
        error == 0) {
      return fd;
    }
  } else {
    error = errno;
  }
  return UniqueFd();
}

struct SslCtxFree {
  void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};
struct SslFree {
  void operator()(SSL* s) const { SSL_free(s); }
};

bool IsNumericAddress(const std::string& host) {
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return false;
  ::freeaddrinfo(found);
  return true;
}

}  // namespace

struct TcpClient::Tls {
  std::unique_ptr<SSL_CTX, SslCtxFree> ctx;
  std::unique_ptr<SSL, SslFree> ssl;
};

TcpClient::TcpClient() = default;

TcpClient::~TcpClient() {
  // One try at a close_notify; the peer needs no more than the closed socket.
  if (tls_) SSL_shutdown(tls_->ssl.get());
}

void TcpClient::Connect(const std::string& host, std::uint16_t port,
                        Deadline deadline) {
  host_ = host;
  peer_ = host + ":" + std::to_string(port);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV | AI_NUMERICHOST;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  if (rc == EAI_NONAME) {
    hints.ai_flags = AI_NUMERICSERV;  // not an address: ask the resolver
    rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  }
  if (rc != 0) {
    throw KvxError("cannot resolve " + host + ": " + ::gai_strerror(rc));
  }
  std::unique_ptr<addrinfo, AddrInfoFree> list(found);
  int error = 0;
  for (const addrinfo* a = list.get(); a != nullptr; a = a->ai_next) {
    fd_ = ConnectOne(*a, deadline, error);
    if (fd_.valid()) return;
  }
  if (error == ETIMEDOUT) {
    throw KvxError("cannot connect to " + peer_ + ": timed out");
  }
  throw PosixError("cannot connect to " + peer_ + ": ", error);
}

namespace {

// What an SSL call that returned `rc` waits for: POLLIN or POLLOUT, or 0
// when it failed for good.
short TlsWants(SSL* ssl, int rc) {
  switch (SSL_get_error(ssl, rc)) {
    case SSL_ERROR_WANT_READ:
      return POLLIN;
    case SSL_ERROR_WANT_WRITE:
      return POLLOUT;
    default:
      return 0;
  }
}

std::unique_ptr<SSL_CTX, SslCtxFree> MakeClientContext(
    const TlsClientOptions& o) {
  std::unique_ptr<SSL_CTX, SslCtxFree> ctx(SSL_CTX_new(TLS_client_method()));
  if (!ctx) throw KvxError("TLS: " + OpenSslErrors());
  SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
  SSL_CTX_set_default_passwd_cb(ctx.get(), RefusePassphrase);
  SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
  const int loaded = o.ca_file.empty()
                         ? SSL_CTX_set_default_verify_paths(ctx.get())
                         : SSL_CTX_load_verify_locations(
                               ctx.get(), o.ca_file.c_str(), nullptr);
  if (loaded != 1) {
    throw KvxError("cannot load the CA " + o.ca_file + ": " + OpenSslErrors());
  }
  if (o.cert_file.empty() != o.key_file.empty()) {
    throw KvxError("a client certificate needs both --cert and --key");
  }
  if (!o.cert_file.empty()) {
    if (SSL_CTX_use_certificate_chain_file(ctx.get(), o.cert_file.c_str()) !=
            1 ||
        SSL_CTX_use_PrivateKey_file(ctx.get(), o.key_file.c_str(),
                                    SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(ctx.get()) != 1) {
      throw KvxError("cannot use the client certificate " + o.cert_file +
                     " with the key " + o.key_file + ": " + OpenSslErrors());
    }
  }
  return ctx;
}

}  // namespace

void TcpClient::StartTls(const TlsClientOptions& options, Deadline deadline) {
  ERR_clear_error();
  auto tls = std::make_unique<Tls>();
  tls->ctx = MakeClientContext(options);
  tls->ssl.reset(SSL_new(tls->ctx.get()));
  SSL* ssl = tls->ssl.get();
  if (ssl == nullptr || SSL_set_fd(ssl, fd_.get()) != 1) {
    throw KvxError("TLS: " + OpenSslErrors());
  }
  SSL_set_mode(
      ssl, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  // The server's certificate must name what we connected to.
  if (IsNumericAddress(host_)) {
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host_.c_str());
  } else {
    SSL_set_tlsext_host_name(ssl, host_.c_str());
    SSL_set1_host(ssl, host_.c_str());
  }
  for (;;) {
    const int rc = SSL_connect(ssl);
    if (rc == 1) break;
    const short wants = TlsWants(ssl, rc);
    if (wants == 0) {
      const long verify = SSL_get_verify_result(ssl);
      std::string reason = OpenSslErrors();
      if (verify != X509_V_OK) {
        reason = X509_verify_cert_error_string(verify);
      }
      throw KvxError("TLS handshake with " + peer_ + " failed: " +
                     (reason.empty() ? "connection closed" : reason));
    }
    if (!Wait(fd_.get(), wants, deadline)) {
      throw KvxError("TLS handshake with " + peer_ + " timed out");
    }
  }
  tls_ = std::move(tls);
}

std::string TcpClient::PeerCommonName() const {
  if (!tls_) return {};
  X509* cert = SSL_get0_peer_certificate(tls_->ssl.get());
  if (cert == nullptr) return {};
  char name[256] = {};
  const int n = X509_NAME_get_text_by_NID(X509_get_subject_name(cert),
                                          NID_commonName, name, sizeof name);
  return n < 0 ? std::string() : std::string(name, static_cast<std::size_t>(n));
}

void TcpClient::SendAll(std::string_view bytes, Deadline deadline) {
  while (tls_ && !bytes.empty()) {
    SSL* ssl = tls_->ssl.get();
    const int n = SSL_write(ssl, bytes.data(), static_cast<int>(bytes.size()));
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    const short wants = TlsWants(ssl, n);
    if (wants == 0) {
      throw KvxError("cannot send to " + peer_ +
                     " over TLS: " + OpenSslErrors());
    }
    if (!Wait(fd_.get(), wants, deadline)) {
      throw KvxError("sending to " + peer_ + " timed out");
    }
  }
  while (!bytes.empty()) {
    ssize_t n = ::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      if (!Wait(fd_.get(), POLLOUT, deadline)) {
        throw KvxError("sending to " + peer_ + " timed out");
      }
    } else {
      throw PosixError("cannot send to " + peer_ + ": ", errno);
    }
  }
}

TcpClient::Read TcpClient::ReadSome(std::string& out, Deadline deadline) {
  while (tls_) {
    SSL* ssl = tls_->ssl.get();
    char chunk[4096];
    const int n = SSL_read(ssl, chunk, sizeof chunk);
    if (n > 0) {
      out.append(chunk, static_cast<std::size_t>(n));
      return Read::kData;
    }
    const int error = SSL_get_error(ssl, n);
    if (error == SSL_ERROR_ZERO_RETURN) return Read::kClosed;
    if (error == SSL_ERROR_SYSCALL && ERR_peek_error() == 0) {
      return Read::kClosed;  // the socket ended without a close_notify
    }
    const short wants = TlsWants(ssl, n);
    if (wants == 0) {
      throw KvxError("cannot read from " + peer_ +
                     " over TLS: " + OpenSslErrors());
    }
    if (!Wait(fd_.get(), wants, deadline)) return Read::kTimedOut;
  }
  for (;;) {
    char chunk[4096];
    ssize_t n = ::recv(fd_.get(), chunk, sizeof(chunk), 0);
    if (n > 0) {
      out.append(chunk, static_cast<std::size_t>(n));
      return Read::kData;
    }
    if (n == 0) return Read::kClosed;
    if (errno == ECONNRESET) return Read::kClosed;
    if (errno != EAGAIN && errno != EINTR) {
      throw PosixError("cannot read from " + peer_ + ": ", errno);
    }
    if (!Wait(fd_.get(), POLLIN, deadline)) return Read::kTimedOut;
  }
}

}  // namespace kvx
