#include "server/tcp_server.h"

#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <optional>
#include <thread>

#include "core/settings.h"
#include "platform/error.h"
#include "platform/mutex.h"
#include "platform/socket_options.h"
#include "server/completion_inbox.h"
#include "server/connection.h"
#include "server/message_archive.h"
#include "server/server_observer.h"
#include "server/warning_limiter.h"

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

std::string PeerId(const ConnectionSocket& socket) {
  std::error_code ec;
  const tcp::endpoint peer = socket.remote_endpoint(ec);
  if (ec) return "0.0.0.0:0";
  return peer.address().to_string() + ":" + std::to_string(peer.port());
}

}  // namespace

// The listener and the threads that serve its connections. Start, Stop,
// Active, SetBinding and LocalPorts serialise on control_mutex_; the
// acceptor handlers run on accept_strand_, which also guards stopping_, the
// listeners and next_io_.
class TCPServer::Impl {
 public:
  Impl(const Settings& settings, EventLog& events, FileSystem& files,
       Clock& clock, ServerObserver& observer, Metrics& metrics)
      : settings_(settings),
        observer_(observer),
        archive_(settings, files, clock),
        writer_(archive_),
        budget_(kDefaultReceiveBuffersMB * kMiB),
        warnings_(clock),
        services_{settings, events,  writer_, observer,  connections_,
                  metrics,  budget_, clock,   warnings_, exposure_},
        ios_(MakeContexts()),
        inboxes_(MakeInboxes(ios_)),
        accept_strand_(asio::make_strand(*ios_.front())) {}

  void SetBinding(std::string address, std::uint16_t port)
      EXCLUDES(control_mutex_);
  void SetGuards(ListenerGuards guards) EXCLUDES(control_mutex_);
  void Start() EXCLUDES(control_mutex_);
  void Stop() EXCLUDES(control_mutex_);
  bool Active() const { return active_; }
  std::vector<std::uint16_t> LocalPorts() const EXCLUDES(control_mutex_);
  const WorkerProgress& ArchiveProgress() const { return writer_.progress(); }
  int FileCounter() { return archive_.FileCounter(); }

 private:
  struct Listener {
    explicit Listener(asio::strand<asio::io_context::executor_type>& strand)
        : acceptor(strand), backoff(strand) {}
    tcp::acceptor acceptor;
    asio::steady_timer backoff;
  };
  using WorkGuard = asio::executor_work_guard<asio::io_context::executor_type>;

  static std::vector<std::unique_ptr<asio::io_context>> MakeContexts();
  static std::vector<std::unique_ptr<CompletionInbox>> MakeInboxes(
      const std::vector<std::unique_ptr<asio::io_context>>& ios);
  std::unique_ptr<Listener> Listen(const std::string& address_text,
                                   const tcp::endpoint& endpoint);
  void Accept(Listener& listener);
  void Accepted(Listener& listener, std::size_t io_index,
                const std::error_code& ec, ConnectionSocket socket);
  void ReportListenException(const std::exception& e);
  void Run(asio::io_context& io);

  const Settings& settings_;
  ServerObserver& observer_;
  MessageArchive archive_;
  ArchiveWriter writer_;
  ConnectionManager connections_;
  ReceiveBudget budget_;
  WarningLimiter warnings_;
  // Set by Start while no thread runs and no connection is open; read-only
  // while active.
  Exposure exposure_;
  ConnectionServices services_;

  // One per thread; connections are spread over them in turn.
  std::vector<std::unique_ptr<asio::io_context>> ios_;
  // One per context, after them: what they hold keeps a context running.
  std::vector<std::unique_ptr<CompletionInbox>> inboxes_;
  asio::strand<asio::io_context::executor_type> accept_strand_;
  // On accept_strand_:
  std::size_t next_io_ = 0;
  std::vector<std::unique_ptr<Listener>> listeners_;
  bool stopping_ = false;

  mutable Mutex control_mutex_;
  std::optional<Binding> binding_ GUARDED_BY(control_mutex_);
  ListenerGuards guards_ GUARDED_BY(control_mutex_);
  std::vector<std::uint16_t> ports_ GUARDED_BY(control_mutex_);
  // Keep every context running until Stop.
  std::vector<WorkGuard> work_ GUARDED_BY(control_mutex_);
  std::vector<std::thread> threads_ GUARDED_BY(control_mutex_);
  std::atomic<bool> active_{false};
};

std::vector<std::unique_ptr<CompletionInbox>> TCPServer::Impl::MakeInboxes(
    const std::vector<std::unique_ptr<asio::io_context>>& ios) {
  std::vector<std::unique_ptr<CompletionInbox>> inboxes;
  for (const auto& io : ios) {
    inboxes.push_back(std::make_unique<CompletionInbox>(*io));
  }
  return inboxes;
}

std::vector<std::unique_ptr<asio::io_context>> TCPServer::Impl::MakeContexts() {
  std::vector<std::unique_ptr<asio::io_context>> ios;
  for (int i = 0; i < kThreads; ++i) {
    ios.push_back(std::make_unique<asio::io_context>(1));
  }
  return ios;
}

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

// The connection's socket runs on the next context in turn; one thread runs
// each context, so its handlers need no strand.
void TCPServer::Impl::Accept(Listener& listener) {
  const std::size_t io_index = next_io_;
  next_io_ = (next_io_ + 1) % ios_.size();
  listener.acceptor.async_accept(
      ios_[io_index]->get_executor(),
      [this, &listener, io_index](const std::error_code& ec,
                                  ConnectionSocket socket) {
        Accepted(listener, io_index, ec, std::move(socket));
      });
}

void TCPServer::Impl::Accepted(Listener& listener, std::size_t io_index,
                               const std::error_code& ec,
                               ConnectionSocket socket) {
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
  // Refused before any byte is read or traced. Behind a balancer the
  // client's address is only known from its PROXY header.
  ConnectionSlot slot;
  if (!settings_.FProxyProtocol) {
    std::error_code peer_ec;
    const tcp::endpoint peer = socket.remote_endpoint(peer_ec);
    if (!AdmitClient(services_, peer.address(), slot)) {
      socket.close(ignored);
      Accept(listener);
      return;
    }
  }
  std::string peer_id = PeerId(socket);
  auto connection = std::make_shared<Connection>(
      std::move(socket), std::move(peer_id), services_, std::move(slot),
      *inboxes_[io_index]);
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

void TCPServer::Impl::SetBinding(std::string address, std::uint16_t port) {
  MutexLock lock(control_mutex_);
  binding_ = Binding{std::move(address), port};
}

void TCPServer::Impl::SetGuards(ListenerGuards guards) {
  MutexLock lock(control_mutex_);
  guards_ = std::move(guards);
}

void TCPServer::Impl::Start() {
  MutexLock lock(control_mutex_);
  if (active_) return;
  RaiseOpenFileLimit();
  // Only the listener the configuration asked for, never one on a port
  // the system picks for every address.
  if (!binding_) return;
  budget_.SetLimit(ReceiveBuffersLimit(settings_));
  asio::ip::address_v4 address;  // 0.0.0.0 for an empty text
  if (!binding_->address.empty()) {
    std::error_code ec;
    address = asio::ip::make_address_v4(binding_->address, ec);
    if (ec) {
      throw KvxError(
          BindFailure(binding_->address, binding_->port, "geen IPv4-adres"));
    }
  }
  std::vector<std::unique_ptr<Listener>> listeners;
  listeners.push_back(
      Listen(binding_->address, tcp::endpoint(address, binding_->port)));
  ports_.clear();
  for (const auto& l : listeners) {
    std::error_code ec;
    ports_.push_back(l->acceptor.local_endpoint(ec).port());
  }
  // No thread runs yet: the acceptor strand's state and the connections'
  // guards are set here directly.
  exposure_.guards = guards_;
  exposure_.limits.reset();
  if (guards_.max_connections > 0 || guards_.max_connections_per_client > 0) {
    exposure_.limits = std::make_unique<ConnectionLimits>(
        guards_.max_connections, guards_.max_connections_per_client);
  }
  listeners_ = std::move(listeners);
  stopping_ = false;
  for (auto& io : ios_) {
    io->restart();
    work_.emplace_back(io->get_executor());
  }
  for (const auto& l : listeners_) {
    asio::post(accept_strand_, [this, &l = *l] { Accept(l); });
  }
  for (auto& io : ios_) {
    threads_.emplace_back([this, &io = *io] { Run(io); });
  }
  active_ = true;
}

void TCPServer::Impl::Stop() {
  MutexLock lock(control_mutex_);
  if (threads_.empty()) return;
  asio::post(accept_strand_, [this] {
    stopping_ = true;
    for (const auto& l : listeners_) {
      std::error_code ignored;
      l->acceptor.close(ignored);
      l->backoff.cancel();
    }
    connections_.CloseAll();
  });
  // No connection is made after the post above has run: each context ends
  // once its connections have closed.
  work_.clear();
  for (auto& t : threads_) t.join();
  threads_.clear();
  listeners_.clear();
  ports_.clear();
  active_ = false;
}

std::vector<std::uint16_t> TCPServer::Impl::LocalPorts() const {
  MutexLock lock(control_mutex_);
  return ports_;
}

TCPServer::TCPServer(const Settings& settings, EventLog& events,
                     FileSystem& files, Clock& clock, ServerObserver& observer,
                     Metrics& metrics)
    : impl_(std::make_unique<Impl>(settings, events, files, clock, observer,
                                   metrics)) {}

TCPServer::~TCPServer() { Stop(); }

void TCPServer::SetBinding(std::string address, std::uint16_t port) {
  impl_->SetBinding(std::move(address), port);
}

void TCPServer::SetGuards(ListenerGuards guards) {
  impl_->SetGuards(std::move(guards));
}

void TCPServer::Start() { impl_->Start(); }

bool TCPServer::Active() const { return impl_->Active(); }

void TCPServer::Stop() { impl_->Stop(); }

std::vector<std::uint16_t> TCPServer::LocalPorts() const {
  return impl_->LocalPorts();
}

const WorkerProgress& TCPServer::ArchiveProgress() const {
  return impl_->ArchiveProgress();
}

int TCPServer::FileCounter() { return impl_->FileCounter(); }

}  // namespace kvx
