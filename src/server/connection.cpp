#include "server/connection.h"

#include <array>
#include <chrono>

#include "core/event_log.h"
#include "core/frame.h"
#include "observability/metrics.h"
#include "platform/error.h"
#include "server/message_archive.h"
#include "server/server_observer.h"

namespace kvx {
namespace {

constexpr std::string_view kDataReceiverPrefix = "Data ontvanger: ";
constexpr std::string_view kReceiverPrefix = "Ontvanger: ";
constexpr std::chrono::seconds kRetryDelay{1};

}  // namespace

std::string SocketErrorMessage(const std::error_code& ec) {
  if (ec.category() == asio::error::get_system_category()) {
    return "Socket Error # " + std::to_string(ec.value()) + "\r\n" +
           SystemErrorText(ec.value());
  }
  return ec.message();
}

Connection::Connection(asio::ip::tcp::socket socket, std::string peer_id,
                       const ConnectionServices& services)
    : socket_(std::move(socket)),
      strand_(socket_.get_executor()),
      retry_timer_(strand_),
      peer_id_(std::move(peer_id)),
      services_(services),
      counts_(services.metrics) {}

void Connection::Start() {
  asio::post(strand_, [self = shared_from_this()] { self->Begin(); });
}

void Connection::Close() {
  asio::post(strand_, [self = shared_from_this()] { self->Shutdown(); });
}

void Connection::Begin() {
  if (closed_) return;
  try {
    trace_ = services_.observer.MakeTrace(peer_id_);
    if (!trace_) trace_ = std::make_unique<NullConnectionTrace>();
    trace_->Connected();
    traced_ = true;
  } catch (const Abort&) {
    Shutdown();
    return;
  } catch (const std::exception& e) {
    ReportConnectionException(e);
    Shutdown();
    return;
  }
  // Reads only follow readiness; one that finds nothing after all must not
  // block the thread.
  std::error_code ignored;
  socket_.non_blocking(true, ignored);
  WaitReadable();
}

// Waits for the socket to become readable and then reads into a buffer of
// the thread, so that an idle connection holds no read buffer of its own.
// At most one wait is outstanding.
void Connection::WaitReadable() {
  if (read_pending_) return;
  read_pending_ = true;
  socket_.async_wait(asio::ip::tcp::socket::wait_read,
                     [self = shared_from_this()](const std::error_code& ec) {
                       self->ReadAvailable(ec);
                     });
}

void Connection::ReadAvailable(const std::error_code& ec) {
  read_pending_ = false;
  if (closed_ || ec == asio::error::operation_aborted) return;
  thread_local std::array<char, kReadSize> read_buffer;
  std::error_code read_ec = ec;
  std::size_t n = 0;
  if (!read_ec) n = socket_.read_some(asio::buffer(read_buffer), read_ec);
  if (read_ec == asio::error::would_block ||
      read_ec == asio::error::try_again) {
    WaitReadable();
    return;
  }
  Receive(read_ec, std::string_view(read_buffer.data(), n));
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
  if (closed_ || step_) return;
  if (queued_bytes_ > kReplyQueueLimit) {
    drain_wait_ = true;
    return;
  }
  if (retry_pending_ || !StartFrameStep()) ContinueReading();
}

bool Connection::StartFrameStep() {
  if (!has_soh_ || !has_eot_) return false;
  bool started = false;
  try {
    step_.emplace(PlanFrameStep(FReceiveBuffer, services_.settings));
    counts_.StepStarted();
    started = true;
    // The outcome is handled on this strand; until then the strand's
    // io_context has work and keeps running. The connection goes along with
    // the outcome, so that it never ends on the writer's thread.
    services_.writer.Submit(
        std::move(step_->archive),
        [self = shared_from_this(), &metrics = services_.metrics,
         files = step_->archive.kind ? 2 : 1, started = counts_.step_started(),
         strand =
             asio::prefer(strand_, asio::execution::outstanding_work.tracked)](
            ArchiveOutcome outcome) mutable {
          ConnectionCounts::Archived(metrics, files, started, outcome);
          asio::post(strand,
                     [self = std::move(self), outcome = std::move(outcome)] {
                       self->FinishFrameStep(outcome);
                     });
        });
    return true;
  } catch (const std::exception& e) {
    // Out of memory, for instance: the frame stays for a retry.
    if (started) counts_.StepNotSubmitted();
    step_.reset();
    ReportError(std::string(kReceiverPrefix) + e.what());
    ArmRetry();
    return false;
  }
}

// Carries out the resolved step in the designed order: its entries, then
// the reply, the frame removed before the reply (after it for COM).
void Connection::FinishFrameStep(const ArchiveOutcome& outcome) {
  FramePlan plan = std::move(*step_);
  step_.reset();
  if (closed_) return;
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
  if (result.failed()) {
    ReportError(result.failure);
    ArmRetry();
    ContinueReading();
  } else if (FReceiveBuffer.size() >= before) {
    // A frame step that succeeds removes at least its EOT; read on rather
    // than loop should that ever not hold.
    ContinueReading();
  } else {
    Examine();
  }
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
  WaitReadable();
}

// After the end of the client's input: a frame that waits for its step or
// its retry, and replies still queued, keep the connection open.
void Connection::EndIfAnswered() {
  if (closed_ || !read_ended_) return;
  if (step_ || retry_pending_ || (has_soh_ && has_eot_)) return;
  if (!write_queue_.empty()) return;
  Shutdown();
}

void Connection::ArmRetry() {
  retry_pending_ = true;
  retry_timer_.expires_after(kRetryDelay);
  retry_timer_.async_wait(
      [self = shared_from_this()](const std::error_code& ec) {
        if (ec || self->closed_) return;
        self->retry_pending_ = false;
        self->Examine();
      });
}

void Connection::ReportError(std::string_view text) {
  if (auto admitted = throttle_.Admit(text, EntryThrottle::Clock::now())) {
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
  queued_bytes_ += bytes.size();
  write_queue_.emplace_back(bytes);
  if (write_queue_.size() == 1) WriteNext();
}

void Connection::WriteNext() {
  asio::async_write(
      socket_, asio::buffer(write_queue_.front()),
      [self = shared_from_this()](const std::error_code& ec, std::size_t) {
        self->Written(ec);
      });
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
  services_.metrics.bytes_sent.Add(write_queue_.front().size());
  queued_bytes_ -= write_queue_.front().size();
  write_queue_.pop_front();
  if (!write_queue_.empty()) WriteNext();
  if (drain_wait_ && queued_bytes_ <= kReplyQueueLimit / 2) {
    drain_wait_ = false;
    Examine();
  } else if (write_queue_.empty()) {
    EndIfAnswered();
  }
}

void Connection::Shutdown() {
  if (closed_) return;
  closed_ = true;
  retry_timer_.cancel();
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
