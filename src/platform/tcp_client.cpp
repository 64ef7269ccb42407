#include "platform/tcp_client.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "platform/error.h"

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

}  // namespace

void TcpClient::Connect(const std::string& host, std::uint16_t port,
                        Deadline deadline) {
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

void TcpClient::SendAll(std::string_view bytes, Deadline deadline) {
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
