#include "server/connection.h"

#include <array>
#include <asio/bind_allocator.hpp>
#include <chrono>

#include "core/event_log.h"
#include "core/frame.h"
#include "core/settings.h"
#include "observability/metrics.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "server/completion_inbox.h"
#include "server/connection_tls.h"
#include "server/exposure_texts.h"
#include "server/message_archive.h"
#include "server/server_observer.h"

namespace kvx {
namespace {

constexpr std::string_view kDataReceiverPrefix = "Data ontvanger: ";
constexpr std::string_view kReceiverPrefix = "Ontvanger: ";
constexpr std::chrono::seconds kRetryDelay{1};
// While the gateway itself holds a connection's reading (a frame step, its
// retry, a full reply queue), its incomplete frame is looked at again after
// this long rather than held against the client.
constexpr std::chrono::seconds kReceiveTimeoutRecheck{1};
// A write buffer larger than this is given back once it has gone out.
constexpr std::size_t kKeptWriteCapacity = 64 * 1024;

// Plain heap memory at the exact size for an operation that stays pending
// for as long as a connection is idle; asio's default (std::allocator)
// would take a block recycled from the thread, often a larger one.
template <typename T>
struct ExactAllocator {
  using value_type = T;
  ExactAllocator() = default;
  template <typename U>
  ExactAllocator(const ExactAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) { return std::allocator<T>().allocate(n); }
  void deallocate(T* p, std::size_t n) { std::allocator<T>().deallocate(p, n); }
  template <typename U>
  bool operator==(const ExactAllocator<U>&) const noexcept {
    return true;
  }
};

}  // namespace

std::string SocketErrorMessage(const std::error_code& ec) {
  if (ec.category() == asio::error::get_system_category()) {
    return "Socket Error # " + std::to_string(ec.value()) + "\r\n" +
           SystemErrorText(ec.value());
  }
  return ec.message();
}

Connection::Connection(ConnectionSocket socket, std::string peer_id,
                       const ConnectionServices& services, ConnectionSlot slot,
                       CompletionInbox& inbox)
    : socket_(std::move(socket)),
      peer_id_(std::move(peer_id)),
      services_(services),
      inbox_(inbox),
      slot_(std::move(slot)),
      counts_(services.metrics),
      receive_timeout_(services.exposure.guards.receive_timeout_seconds) {}

Connection::~Connection() = default;

void Connection::Start() {
  asio::post(socket_.get_executor(),
             [self = shared_from_this()] { self->Begin(); });
}

void Connection::Close() {
  asio::post(socket_.get_executor(),
             [self = shared_from_this()] { self->Shutdown(); });
}

// Waits for the socket to become readable and then reads into a buffer of
// the thread, so that an idle connection holds no read buffer of its own.
// Over TLS the stream reads into the connection's own buffer instead. At
// most one wait is outstanding.
void Connection::WaitReadable() {
  if (read_pending_) return;
  read_pending_ = true;
  if (tls_) {
    tls_->stream.async_read_some(
        asio::buffer(tls_->buffer),
        [self = shared_from_this()](std::error_code ec, std::size_t n) {
          self->read_pending_ = false;
          if (self->closed_ || ec == asio::error::operation_aborted) return;
          // A client that closes without a close_notify has still ended its
          // input, as a clear-text client does with its FIN.
          if (ec == asio::ssl::error::stream_truncated) ec = asio::error::eof;
          self->Receive(ec, std::string_view(self->tls_->buffer.data(), n));
        });
    return;
  }
  socket_.async_wait(ConnectionSocket::wait_read,
                     asio::bind_allocator(ExactAllocator<void>(),
                                          [self = shared_from_this()](
                                              const std::error_code& ec) {
                                            self->ReadAvailable(ec);
                                          }));
}

void Connection::ReadAvailable(const std::error_code& ec) {
  read_pending_ = false;
  if (closed_ || ec == asio::error::operation_aborted) return;
  thread_local std::array<char, kReadSize> read_buffer;
  std::error_code read_ec = ec;
  std::size_t n = 0;
  const std::size_t wanted =
      stage_ == Stage::kProxyHeader ? HeaderBytesWanted() : read_buffer.size();
  if (!read_ec) {
    n = socket_.read_some(asio::buffer(read_buffer.data(), wanted), read_ec);
  }
  if (read_ec == asio::error::would_block ||
      read_ec == asio::error::try_again) {
    WaitReadable();
    return;
  }
  const std::string_view bytes(read_buffer.data(), n);
  if (stage_ == Stage::kProxyHeader) {
    ReceiveHeader(read_ec, bytes);
  } else {
    Receive(read_ec, bytes);
  }
}

void Connection::Receive(const std::error_code& ec, std::string_view bytes) {
  if (ec == asio::error::eof) {
    // Not an error: answer what waits, then end. The client may still read
    // its replies on the half-closed connection.
    read_ended_ = true;
    EndIfAnswered();
    return;
  }
  if (ec) {
    services_.events.WriteEventLog(
        std::string(kDataReceiverPrefix) + SocketErrorMessage(ec),
        EventType::kError);
    Shutdown();
    return;
  }
  if (!traced_ && !Trace()) return;
  services_.metrics.bytes_received.Add(bytes.size());
  try {
    trace_->Received(bytes);
  } catch (const Abort&) {
  } catch (const std::exception& e) {
    // The bytes are still taken: a trace that cannot be written must not
    // cut a frame of the client.
    ReportError(std::string(kDataReceiverPrefix) + e.what());
  }
  if (!services_.budget.Take(bytes.size())) {
    services_.events.WriteEventLog(
        std::string(kReceiverPrefix) +
            "Ontvangstbuffers van alle verbindingen samen groter dan " +
            std::to_string(services_.budget.Limit()) + " bytes; verbinding " +
            peer_id_ + " verbroken",
        EventType::kError);
    Shutdown();
    return;
  }
  budgeted_ += bytes.size();
  FReceiveBuffer.append(bytes);
  NoteMarkers(bytes);
  Examine();
}

// An EOT counts only after the buffer's first SOH: one before it ends
// nothing.
void Connection::NoteMarkers(std::string_view bytes) {
  if (!has_soh_) {
    const std::size_t soh = bytes.find(SOH);
    if (soh == std::string_view::npos) return;
    has_soh_ = true;
    bytes.remove_prefix(soh + 1);
  }
  has_eot_ = has_eot_ || bytes.find(EOT) != std::string_view::npos;
}

// Starts the next frame step when the buffer holds a frame; otherwise reads
// on. While a step runs, its end examines the buffer again; while a failed
// step waits for its retry, only the retry timer does; while too many reply
// bytes wait, the write that drains them does.
void Connection::Examine() {
  // A loop, not a recursion: frames answered at once may follow each other
  // in the buffer by the thousand.
  for (;;) {
    if (closed_ || step_) return;
    if (queued_bytes_ > kReplyQueueLimit) {
      drain_wait_ = true;
      return;
    }
    const StepStart start =
        retry_pending_ ? StepStart::kNone : StartFrameStep();
    if (start == StepStart::kNone) ContinueReading();
    if (start != StepStart::kAnswered) return;
  }
}

Connection::StepStart Connection::StartFrameStep() {
  if (!has_soh_ || !has_eot_) return StepStart::kNone;
  bool started = false;
  std::optional<ArchiveOutcome> written;
  try {
    step_ = std::make_unique<FramePlan>(
        PlanFrameStep(FReceiveBuffer, services_.settings));
    counts_.StepStarted();
    started = true;
    // With the writer idle, this thread writes the files itself.
    written = services_.writer.WriteIfIdle(step_->archive);
  } catch (const std::exception& e) {
    // Out of memory, for instance: the frame stays for a retry.
    if (started) counts_.StepNotSubmitted();
    step_.reset();
    ReportError(std::string(kReceiverPrefix) + e.what());
    ArmRetry();
    return StepStart::kNone;
  }
  if (written) {
    ConnectionCounts::Archived(services_.metrics, step_->archive.kind ? 2 : 1,
                               counts_.step_started(), *written);
    return CompleteFrameStep(*written) ? StepStart::kAnswered
                                       : StepStart::kHandled;
  }
  return SubmitFrameStep();
}

// Hands the step's files to the archive writer.
Connection::StepStart Connection::SubmitFrameStep() {
  try {
    // The outcome comes back through this thread's inbox, together with
    // the other outcomes of the writer's batch; until then the thread's
    // io_context has work and keeps running. The connection goes along with
    // the outcome, so that it never ends on the writer's thread.
    services_.writer.Submit(
        std::move(step_->archive),
        [self = shared_from_this(), &metrics = services_.metrics,
         files = step_->archive.kind ? 2 : 1, started = counts_.step_started(),
         work = asio::prefer(socket_.get_executor(),
                             asio::execution::outstanding_work.tracked)](
            ArchiveOutcome outcome) mutable {
          ConnectionCounts::Archived(metrics, files, started, outcome);
          CompletionInbox& inbox = self->inbox_;
          inbox.Add(
              [self = std::move(self), outcome = std::move(outcome),
               work = std::move(work)] { self->FinishFrameStep(outcome); });
        });
    return StepStart::kHandled;
  } catch (const std::exception& e) {
    // Out of memory, for instance: the frame stays for a retry.
    counts_.StepNotSubmitted();
    step_.reset();
    ReportError(std::string(kReceiverPrefix) + e.what());
    ArmRetry();
    return StepStart::kNone;
  }
}

// Carries out the resolved step in the designed order: its entries, then
// the reply, the frame removed before the reply (after it for COM).
void Connection::FinishFrameStep(const ArchiveOutcome& outcome) {
  if (CompleteFrameStep(outcome)) Examine();
}

bool Connection::CompleteFrameStep(const ArchiveOutcome& outcome) {
  FramePlan plan = std::move(*step_);
  step_.reset();
  if (closed_) return false;
  const std::size_t before = FReceiveBuffer.size();
  FrameResult result = ResolveFrameStep(std::move(plan), outcome);
  if (!result.entries.empty()) services_.events.WriteEventLogs(result.entries);
  if (!result.failed()) {
    RemoveLeading(result.remove_before);
    try {
      Write(result.reply);
      RemoveLeading(result.remove_after);
    } catch (const std::exception& e) {
      result.failure = std::string(kReceiverPrefix) + e.what();
    }
  }
  counts_.StepEnded(result);
  if (!result.failed()) took_frame_ = true;
  if (result.failed()) {
    ReportError(result.failure);
    ArmRetry();
    ContinueReading();
    return false;
  }
  if (FReceiveBuffer.size() >= before) {
    // A frame step that succeeds removes at least its EOT; read on rather
    // than loop should that ever not hold.
    ContinueReading();
    return false;
  }
  return true;
}

// Removes what a step took from the front of the buffer (bytes that arrived
// meanwhile stay behind it) and gives its budget back.
void Connection::RemoveLeading(std::size_t bytes) {
  if (bytes == 0) return;
  FReceiveBuffer.erase(0, bytes);
  services_.budget.Give(budgeted_ - FReceiveBuffer.size());
  budgeted_ = FReceiveBuffer.size();
  has_soh_ = has_eot_ = false;
  NoteMarkers(FReceiveBuffer);
}

// No frame step to run now: end a connection whose peer has closed its
// side once it is answered, close one whose buffer has grown too large, or
// wait for more bytes.
void Connection::ContinueReading() {
  if (closed_) return;
  if (read_ended_) {
    EndIfAnswered();
    return;
  }
  if (FReceiveBuffer.size() > kReceiveBufferLimit) {
    // Operator text of the buffer limit, in the style of the receiver's
    // other entries.
    services_.metrics.buffer_limit_closes.Add();
    services_.events.WriteEventLog(
        std::string(kReceiverPrefix) + "Ontvangstbuffer van " + peer_id_ +
            " groter dan " + std::to_string(kReceiveBufferLimit) +
            " bytes zonder verwerkt pakket; verbinding verbroken",
        EventType::kError);
    Shutdown();
    return;
  }
  WatchReceiveTimeout();
  WaitReadable();
}

// After the end of the client's input: a frame that waits for its step or
// its retry, and replies still queued, keep the connection open.
void Connection::EndIfAnswered() {
  if (closed_ || !read_ended_) return;
  if (step_ || retry_pending_ || (has_soh_ && has_eot_)) return;
  if (writing_) return;
  Shutdown();
}

void Connection::ArmRetry() {
  retry_pending_ = true;
  Timer(retry_timer_).expires_after(kRetryDelay);
  retry_timer_->async_wait(
      [self = shared_from_this()](const std::error_code& ec) {
        if (ec || self->closed_) return;
        self->retry_pending_ = false;
        self->Examine();
      });
}

// Starts the clock of an incomplete frame in the buffer, or restarts it
// after a frame was taken. One timer at a time; when it fires it looks again.
void Connection::WatchReceiveTimeout() {
  if (!receive_timeout_.enabled()) return;
  const std::uint32_t now = services_.clock.TickCount();
  receive_timeout_.Observe(FReceiveBuffer, took_frame_, now);
  took_frame_ = false;
  if (receive_timer_armed_) return;
  const std::optional<std::uint32_t> left =
      receive_timeout_.MillisecondsLeft(now);
  if (!left) return;
  receive_timer_armed_ = true;
  Timer(receive_timer_).expires_after(std::chrono::milliseconds(*left));
  receive_timer_->async_wait(
      [self = shared_from_this()](const std::error_code& ec) {
        self->ReceiveTimedOut(ec);
      });
}

void Connection::ReceiveTimedOut(const std::error_code& ec) {
  receive_timer_armed_ = false;
  if (ec || closed_) return;
  const std::uint32_t now = services_.clock.TickCount();
  const std::optional<std::uint32_t> left =
      receive_timeout_.MillisecondsLeft(now);
  if (!left) return;  // the frame was completed meanwhile
  const bool gateway_holds = step_ || retry_pending_ || drain_wait_;
  if (*left > 0 || gateway_holds) {
    receive_timer_armed_ = true;
    receive_timer_->expires_after(
        gateway_holds ? std::chrono::milliseconds(kReceiveTimeoutRecheck)
                      : std::chrono::milliseconds(*left));
    receive_timer_->async_wait(
        [self = shared_from_this()](const std::error_code& e) {
          self->ReceiveTimedOut(e);
        });
    return;
  }
  services_.metrics.receive_timeout_closes.Add();
  services_.events.WriteEventLog(
      ReceiveTimeoutText(ClientKey(client_), FReceiveBuffer.size(),
                         services_.exposure.guards.receive_timeout_seconds),
      EventType::kWarning);
  Shutdown();
}

void Connection::ReportError(std::string_view text) {
  if (!throttle_) throttle_ = std::make_unique<EntryThrottle>();
  if (auto admitted = throttle_->Admit(text, EntryThrottle::Clock::now())) {
    services_.events.WriteEventLog(*admitted, EventType::kError);
  }
}

void Connection::Write(std::string_view bytes) {
  try {
    trace_->Sent(bytes);
  } catch (const Abort&) {
  } catch (const std::exception& e) {
    // The reply still goes out: the frame is archived and answered, and a
    // traffic log that cannot be written (a full disk) must not leave every
    // client without answers.
    ReportError(std::string(kReceiverPrefix) + e.what());
  }
  if (bytes.empty()) return;
  queued_bytes_ += bytes.size();
  pending_writes_.append(bytes);
  if (!writing_) WriteNext();
}

// Hands everything queued to the socket as one write: the replies of
// frames answered while the previous write was in flight go out together.
void Connection::WriteNext() {
  writing_ = true;
  in_flight_.swap(pending_writes_);
  auto written = [self = shared_from_this()](const std::error_code& ec,
                                             std::size_t) {
    self->Written(ec);
  };
  if (tls_) {
    asio::async_write(tls_->stream, asio::buffer(in_flight_),
                      std::move(written));
  } else {
    asio::async_write(socket_, asio::buffer(in_flight_), std::move(written));
  }
}

void Connection::Written(const std::error_code& ec) {
  if (closed_ || ec == asio::error::operation_aborted) return;
  if (ec) {
    services_.events.WriteEventLog(
        std::string(kReceiverPrefix) + SocketErrorMessage(ec),
        EventType::kError);
    Shutdown();
    return;
  }
  writing_ = false;
  services_.metrics.bytes_sent.Add(in_flight_.size());
  queued_bytes_ -= in_flight_.size();
  in_flight_.clear();
  // An idle connection keeps no large buffer from a burst of replies.
  if (in_flight_.capacity() > kKeptWriteCapacity)
    std::string().swap(in_flight_);
  if (!pending_writes_.empty()) WriteNext();
  if (drain_wait_ && queued_bytes_ <= kReplyQueueLimit / 2) {
    drain_wait_ = false;
    Examine();
  } else if (!writing_) {
    EndIfAnswered();
  }
}

ConnectionTimer& Connection::Timer(std::unique_ptr<ConnectionTimer>& timer) {
  if (!timer) {
    timer = std::make_unique<ConnectionTimer>(socket_.get_executor());
  }
  return *timer;
}

void Connection::CancelTimer(const std::unique_ptr<ConnectionTimer>& timer) {
  if (timer) timer->cancel();
}

void Connection::Shutdown() {
  if (closed_) return;
  closed_ = true;
  CancelTimer(retry_timer_);
  CancelTimer(stage_timer_);
  CancelTimer(receive_timer_);
  std::error_code ignored;
  socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
  socket_.close(ignored);
  counts_.Closed();
  services_.budget.Give(budgeted_);
  budgeted_ = 0;
  std::string().swap(FReceiveBuffer);
  if (traced_) {
    try {
      trace_->Disconnected();
    } catch (const Abort&) {
    } catch (const std::exception& e) {
      ReportConnectionException(e);
    }
  }
  services_.manager.Remove(shared_from_this());
}

void Connection::ReportConnectionException(const std::exception& e) {
  try {
    services_.observer.ConnectionException(e);
  } catch (...) {
    // A diagnostic file that cannot be written must not end the thread.
  }
}

void ConnectionManager::Add(std::shared_ptr<Connection> connection) {
  MutexLock lock(mutex_);
  connections_.insert(std::move(connection));
}

void ConnectionManager::Remove(const std::shared_ptr<Connection>& connection) {
  MutexLock lock(mutex_);
  connections_.erase(connection);
}

void ConnectionManager::CloseAll() {
  MutexLock lock(mutex_);
  for (const auto& connection : connections_) connection->Close();
}

}  // namespace kvx
