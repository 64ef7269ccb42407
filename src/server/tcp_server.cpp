#include "server/tcp_server.h"

#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/error.h"
#include "platform/socket_options.h"
#include "server/connection.h"
#include "server/message_archive.h"
#include "server/message_handler.h"
#include "server/server_observer.h"

namespace kvx {
namespace {

// Terminals reconnecting together after a network blip or a failover must
// not wait for SYN retransmits.
constexpr int kBacklog = asio::socket_base::max_listen_connections;
// Two threads read, unpack and answer while the archive writer writes the
// files of earlier frames. Each thread runs an io_context of its own and
// each connection stays on one of them, so a read, its frame step and the
// reply run on one thread without waking another; one io_context shared by
// both threads costs several thread hand-offs per frame.
constexpr int kThreads = 2;
constexpr std::chrono::milliseconds kAcceptBackoff{100};

using tcp = asio::ip::tcp;

struct Binding {
  std::string address;
  std::uint16_t port = 0;
};

// The entry of a bind that failed for another cause than an address in
// use.
std::string BindFailure(const std::string& address, std::uint16_t port,
                        std::string_view cause) {
  return "Kan de TCP server niet starten op " + address + " poort " +
         std::to_string(port) + ": " + std::string(cause);
}

std::string PeerId(const tcp::socket& socket) {
  std::error_code ec;
  const tcp::endpoint peer = socket.remote_endpoint(ec);
  if (ec) return "0.0.0.0:0";
  return peer.address().to_string() + ":" + std::to_string(peer.port());
}

}  // namespace

class TCPServer::Impl {
 public:
  Impl(const Settings& settings, EventLog& events, FileSystem& files,
       Clock& clock, ServerObserver& observer, Metrics& metrics)
      : archive_(settings, files, clock),
        writer_(archive_),
        handler_(settings, events, archive_),
        observer_(observer),
        budget_(kDefaultReceiveBuffersMB * kMiB),
        settings_(settings),
        services_{events,       handler_, writer_, observer,
                  connections_, metrics,  budget_},
        ios_(MakeContexts()),
        accept_strand_(asio::make_strand(*ios_.front())) {}

  static std::vector<std::unique_ptr<asio::io_context>> MakeContexts() {
    std::vector<std::unique_ptr<asio::io_context>> ios;
    for (int i = 0; i < kThreads; ++i) {
      ios.push_back(std::make_unique<asio::io_context>(1));
    }
    return ios;
  }

  std::optional<Binding> binding_;
  MessageArchive archive_;
  ArchiveWriter writer_;
  MessageHandler handler_;
  ServerObserver& observer_;
  ConnectionManager connections_;
  ReceiveBudget budget_;
  const Settings& settings_;
  ConnectionServices services_;

  // One per thread; connections are spread over them in turn.
  std::vector<std::unique_ptr<asio::io_context>> ios_;
  std::size_t next_io_ = 0;  // guarded by accept_strand_
  using WorkGuard = asio::executor_work_guard<asio::io_context::executor_type>;
  // Keeps every context running until Stop; cleared on accept_strand_.
  std::vector<WorkGuard> work_;
  // Runs every acceptor handler and guards stopping_ and the listeners.
  asio::strand<asio::io_context::executor_type> accept_strand_;
  struct Listener {
    explicit Listener(asio::strand<asio::io_context::executor_type>& strand)
        : acceptor(strand), backoff(strand) {}
    tcp::acceptor acceptor;
    asio::steady_timer backoff;
  };
  std::vector<std::unique_ptr<Listener>> listeners_;
  std::vector<std::uint16_t> ports_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
  mutable std::mutex control_mutex_;  // serialises Start, Stop, Active
  std::atomic<bool> active_{false};

  std::unique_ptr<Listener> Listen(const std::string& address_text,
                                   const tcp::endpoint& endpoint);
  void Accept(Listener& listener);
  void OnAccept(Listener& listener, const std::error_code& ec,
                tcp::socket socket);
  void ReportListenException(const std::exception& e);
  void Run(asio::io_context& io);
};

std::unique_ptr<TCPServer::Impl::Listener> TCPServer::Impl::Listen(
    const std::string& address_text, const tcp::endpoint& endpoint) {
  auto listener = std::make_unique<Listener>(accept_strand_);
  tcp::acceptor& a = listener->acceptor;
  std::error_code ec;
  a.open(endpoint.protocol(), ec);
  if (!ec) a.set_option(tcp::acceptor::reuse_address(true), ec);
  if (!ec && endpoint.address().is_v6()) {
    a.set_option(asio::ip::v6_only(true), ec);
  }
  if (!ec) a.bind(endpoint, ec);
  if (!ec) a.listen(kBacklog, ec);
  if (ec == asio::error::address_in_use) throw KvxError(kBindFailureText);
  if (ec) {
    throw KvxError(BindFailure(address_text, endpoint.port(),
                               SystemErrorText(ec.value())));
  }
  return listener;
}

void TCPServer::Impl::Accept(Listener& listener) {
  asio::io_context& io = *ios_[next_io_];
  next_io_ = (next_io_ + 1) % ios_.size();
  listener.acceptor.async_accept(
      asio::make_strand(io),
      [this, &listener](const std::error_code& ec, tcp::socket socket) {
        OnAccept(listener, ec, std::move(socket));
      });
}

void TCPServer::Impl::OnAccept(Listener& listener, const std::error_code& ec,
                               tcp::socket socket) {
  if (stopping_ || ec == asio::error::operation_aborted) return;
  if (ec) {
    // Out of descriptors, for instance: the pending connection stays in the
    // backlog, so accepting again at once would only spin.
    ReportListenException(KvxError(SocketErrorMessage(ec)));
    listener.backoff.expires_after(kAcceptBackoff);
    listener.backoff.async_wait([this, &listener](const std::error_code& e) {
      if (!e && !stopping_) Accept(listener);
    });
    return;
  }
  // Keepalive ends the connection of a peer that vanished; a socket that
  // refuses it is still served.
  EnableKeepAlive(socket.native_handle());
  // Every reply is one whole write: send it at once, also while an earlier
  // reply of a pipelining client still waits for its acknowledgement.
  std::error_code ignored;
  socket.set_option(tcp::no_delay(true), ignored);
  std::string peer_id = PeerId(socket);
  auto connection = std::make_shared<Connection>(std::move(socket),
                                                 std::move(peer_id), services_);
  connections_.Add(connection);
  connection->Start();
  Accept(listener);
}

void TCPServer::Impl::ReportListenException(const std::exception& e) {
  try {
    observer_.ListenException(e);
  } catch (...) {
    // The listener goes on whatever its observer does.
  }
}

void TCPServer::Impl::Run(asio::io_context& io) {
  for (;;) {
    try {
      io.run();
      return;
    } catch (...) {
      // Every handler catches its own failures; should one escape anyway,
      // the thread keeps serving.
    }
  }
}

TCPServer::TCPServer(const Settings& settings, EventLog& events,
                     FileSystem& files, Clock& clock, ServerObserver& observer,
                     Metrics& metrics)
    : impl_(std::make_unique<Impl>(settings, events, files, clock, observer,
                                   metrics)) {}

TCPServer::~TCPServer() { Stop(); }

void TCPServer::SetBinding(std::string address, std::uint16_t port) {
  std::scoped_lock lock(impl_->control_mutex_);
  impl_->binding_ = Binding{std::move(address), port};
}

void TCPServer::Start() {
  Impl& s = *impl_;
  std::scoped_lock lock(s.control_mutex_);
  if (s.active_) return;
  RaiseOpenFileLimit();
  // Only the listener the configuration asked for, never one on a port
  // the system picks for every address.
  if (!s.binding_) return;
  s.budget_.SetLimit(ReceiveBuffersLimit(s.settings_));
  asio::ip::address_v4 address;  // 0.0.0.0 for an empty text
  if (!s.binding_->address.empty()) {
    std::error_code ec;
    address = asio::ip::make_address_v4(s.binding_->address, ec);
    if (ec) {
      throw KvxError(BindFailure(s.binding_->address, s.binding_->port,
                                 "geen IPv4-adres"));
    }
  }
  std::vector<std::unique_ptr<Impl::Listener>> listeners;
  listeners.push_back(
      s.Listen(s.binding_->address, tcp::endpoint(address, s.binding_->port)));
  s.ports_.clear();
  for (const auto& l : listeners) {
    std::error_code ec;
    s.ports_.push_back(l->acceptor.local_endpoint(ec).port());
  }
  s.listeners_ = std::move(listeners);
  s.stopping_ = false;
  for (auto& io : s.ios_) {
    io->restart();
    s.work_.emplace_back(io->get_executor());
  }
  for (const auto& l : s.listeners_) {
    asio::post(s.accept_strand_, [&s, &l = *l] { s.Accept(l); });
  }
  for (auto& io : s.ios_) {
    s.threads_.emplace_back([&s, &io = *io] { s.Run(io); });
  }
  s.active_ = true;
}

bool TCPServer::Active() const { return impl_->active_; }

void TCPServer::Stop() {
  Impl& s = *impl_;
  std::scoped_lock lock(s.control_mutex_);
  if (s.threads_.empty()) return;
  asio::post(s.accept_strand_, [&s] {
    s.stopping_ = true;
    for (const auto& l : s.listeners_) {
      std::error_code ignored;
      l->acceptor.close(ignored);
      l->backoff.cancel();
    }
    s.connections_.CloseAll();
    // No connection is made after this point: each context ends once its
    // connections have closed.
    s.work_.clear();
  });
  for (auto& t : s.threads_) t.join();
  s.threads_.clear();
  s.listeners_.clear();
  s.ports_.clear();
  s.active_ = false;
}

std::vector<std::uint16_t> TCPServer::LocalPorts() const {
  std::scoped_lock lock(impl_->control_mutex_);
  return impl_->ports_;
}

const WorkerProgress& TCPServer::ArchiveProgress() const {
  return impl_->writer_.progress();
}

int TCPServer::FileCounter() { return impl_->archive_.FileCounter(); }

}  // namespace kvx
