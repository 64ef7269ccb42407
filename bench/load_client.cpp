#include "load_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <thread>

#include "core/frame.h"
#include "core/message_texts.h"

namespace kvx::bench {
namespace {

using Clock = std::chrono::steady_clock;

struct Outstanding {
  std::string tag;
  Clock::time_point sent;
};

// One load connection: what it still has to send, what it waits for.
struct Conn {
  int fd = -1;
  int index = 0;
  int queued = 0;  // frames handed to the send buffer so far
  std::string out;
  std::string in;
  std::deque<Outstanding> waiting;
  bool want_write = false;
  bool done = false;
};

// A connected blocking socket from the n-th source address, or -1 with
// `error` set. Tries again while the listener is not there yet.
int Connect(const Target& target, int n, std::string& error) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(target.port);
  if (::inet_pton(AF_INET, target.host.c_str(), &to.sin_addr) != 1) {
    error = "not an IPv4 address: " + target.host;
    return -1;
  }
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  for (;;) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      error = std::string("socket: ") + std::strerror(errno);
      return -1;
    }
    if (target.source_addresses > 1) {
      sockaddr_in from{};
      from.sin_family = AF_INET;
      from.sin_addr.s_addr =
          htonl(INADDR_LOOPBACK + n % target.source_addresses);
      if (::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
        error = std::string("bind: ") + std::strerror(errno);
        ::close(fd);
        return -1;
      }
    }
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
      return fd;
    }
    const int err = errno;
    ::close(fd);
    if (err != ECONNREFUSED || Clock::now() > deadline) {
      error = std::string("connect: ") + std::strerror(err);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

std::string Tag(int connection, int seq) {
  return std::to_string(connection) + "-" + std::to_string(seq);
}

class LoadRun {
 public:
  LoadRun(const LoadOptions& options) : options_(options) {}
  ~LoadRun() {
    for (auto& c : conns_) {
      if (c.fd >= 0) ::close(c.fd);
    }
    if (epoll_ >= 0) ::close(epoll_);
  }

  LoadResult Run(const Target& target);

 private:
  void Fail(Conn& c, const std::string& what);
  void Queue(Conn& c);
  void Flush(Conn& c);
  void Receive(Conn& c);
  bool TakeReply(Conn& c);
  void Check(Conn& c, const std::string& message);
  void Watch(Conn& c);

  const LoadOptions& options_;
  int epoll_ = -1;
  std::vector<Conn> conns_;
  int open_ = 0;
  LoadResult result_;
};

void LoadRun::Fail(Conn& c, const std::string& what) {
  if (result_.first_error.empty()) {
    result_.first_error = "connection " + std::to_string(c.index) + ": " + what;
  }
  // Whatever the connection still owed counts as failed.
  result_.errors += static_cast<std::int64_t>(c.waiting.size()) +
                    (options_.frames - c.queued);
  c.waiting.clear();
  ::close(c.fd);
  c.fd = -1;
  c.done = true;
  --open_;
}

void LoadRun::Queue(Conn& c) {
  while (c.queued < options_.frames &&
         static_cast<int>(c.waiting.size()) < options_.pipeline) {
    const int seq = c.queued++;
    c.out += BuildFrame(BenchMessage(c.index, seq, options_.type));
    c.waiting.push_back({Tag(c.index, seq), Clock::now()});
  }
}

void LoadRun::Flush(Conn& c) {
  while (!c.out.empty()) {
    const ssize_t n = ::send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN)
        Fail(c, std::string("send: ") + std::strerror(errno));
      break;
    }
    c.out.erase(0, static_cast<std::size_t>(n));
  }
  if (!c.done) Watch(c);
}

void LoadRun::Watch(Conn& c) {
  const bool want = !c.out.empty();
  if (want == c.want_write) return;
  c.want_write = want;
  epoll_event ev{};
  ev.events = EPOLLIN | (want ? EPOLLOUT : 0u);
  ev.data.u32 = static_cast<std::uint32_t>(c.index);
  ::epoll_ctl(epoll_, EPOLL_CTL_MOD, c.fd, &ev);
}

void LoadRun::Receive(Conn& c) {
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
    if (n > 0) {
      c.in.append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) break;
    Fail(c, n == 0 ? "closed by the service"
                   : std::string("recv: ") + std::strerror(errno));
    return;
  }
  while (!c.done && TakeReply(c)) {
  }
  if (c.done) return;
  if (c.queued == options_.frames && c.waiting.empty()) {
    c.done = true;
    --open_;
    return;
  }
  Queue(c);
  Flush(c);
}

// Takes one whole reply off the front of the input; false when none is
// complete yet.
bool LoadRun::TakeReply(Conn& c) {
  if (c.in.empty()) return false;
  if (c.in[0] == NAK) {
    c.in.erase(0, 1);
    Check(c, {});
    return true;
  }
  if (c.in[0] != SOH) {
    Fail(c, "reply does not start with SOH");
    return false;
  }
  const std::size_t stx = c.in.find(STX);
  if (stx == std::string::npos) return false;
  const std::size_t length = std::strtoul(c.in.c_str() + 1, nullptr, 10);
  if (c.in.size() < stx + 1 + length + 1) return false;
  if (c.in[stx + 1 + length] != EOT) {
    Fail(c, "reply frame does not end with EOT where its length says");
    return false;
  }
  const std::string message =
      DecodeBase64(std::string_view(c.in).substr(stx + 1, length));
  c.in.erase(0, stx + length + 2);
  Check(c, message);
  return true;
}

void LoadRun::Check(Conn& c, const std::string& message) {
  if (c.waiting.empty()) {
    ++result_.errors;
    if (result_.first_error.empty()) result_.first_error = "unasked reply";
    return;
  }
  const Outstanding front = c.waiting.front();
  c.waiting.pop_front();
  const std::string want_type = options_.type == "COM" ? "INF" : "ACK";
  const std::string type = ExtractMsgType(message);
  const std::string tag = ExtractMsgTag(message);
  if (type != want_type || tag != front.tag) {
    ++result_.errors;
    if (result_.first_error.empty()) {
      result_.first_error = "connection " + std::to_string(c.index) +
                            " wanted " + want_type + " tag " + front.tag +
                            ", got " + (message.empty() ? "NAK" : type) +
                            " tag " + tag;
    }
    return;
  }
  ++result_.replies;
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
      Clock::now() - front.sent);
  result_.latencies_us.push_back(static_cast<std::uint32_t>(us.count()));
}

LoadResult LoadRun::Run(const Target& target) {
  epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
  conns_.resize(static_cast<std::size_t>(options_.connections));
  for (int i = 0; i < options_.connections; ++i) {
    Conn& c = conns_[static_cast<std::size_t>(i)];
    c.index = i;
    std::string error;
    c.fd = Connect(target, i, error);
    if (c.fd < 0) {
      result_.errors += options_.frames;
      if (result_.first_error.empty()) result_.first_error = error;
      c.done = true;
      continue;
    }
    const int on = 1;
    ::setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ::fcntl(c.fd, F_SETFL, O_NONBLOCK);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u32 = static_cast<std::uint32_t>(i);
    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, c.fd, &ev);
    ++open_;
  }
  const auto start = Clock::now();
  const auto deadline = start + std::chrono::seconds(options_.timeout_seconds);
  for (auto& c : conns_) {
    if (c.done) continue;
    Queue(c);
    Flush(c);
  }
  epoll_event events[256];
  while (open_ > 0 && Clock::now() < deadline) {
    const int n = ::epoll_wait(epoll_, events, 256, 100);
    for (int i = 0; i < n; ++i) {
      Conn& c = conns_[events[i].data.u32];
      if (c.done) continue;
      if (events[i].events & EPOLLOUT) Flush(c);
      if (!c.done && events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
        Receive(c);
      }
    }
  }
  result_.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  for (auto& c : conns_) {
    if (!c.done) Fail(c, "no reply within the time-out");
  }
  return result_;
}

}  // namespace

std::string BenchMessage(int connection, int seq, const std::string& type) {
  return "<?xml version=\"1.0\" ?>\r\n<MSG tag=\"" + Tag(connection, seq) +
         "\" type=\"" + type +
         "\" protocol=\"CON_KV\" versie=\"1.0\">\r\n"
         "<Verzender>bench</Verzender>\r\n<Ontvanger>kav</Ontvanger>\r\n"
         "<Kavero>\r\n<Rit nummer=\"" +
         std::to_string(seq) +
         "\">Stationsplein 1, Utrecht</Rit>\r\n</Kavero>\r\n</MSG>\r\n";
}

LoadResult RunLoad(const Target& target, const LoadOptions& options) {
  LoadRun run(options);
  return run.Run(target);
}

IdleConnections::~IdleConnections() {
  for (const int fd : fds_) ::close(fd);
}

int IdleConnections::Open(const Target& target, int count, int batch,
                          const std::function<void(int)>& settle,
                          std::string& error) {
  for (int i = 0; i < count; ++i) {
    const int fd = Connect(target, i, error);
    if (fd < 0) break;
    fds_.push_back(fd);
    if ((i + 1) % batch == 0) settle(i + 1);
  }
  return static_cast<int>(fds_.size());
}

void RaiseFileLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace kvx::bench
