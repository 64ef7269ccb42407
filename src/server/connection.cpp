#include "server/connection.h"

#include <array>
#include <chrono>

#include "core/event_log.h"
#include "core/frame.h"
#include "observability/metrics.h"
#include "platform/error.h"
#include "server/message_archive.h"
#include "server/message_handler.h"
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
      services_(services) {
  services_.metrics.connections_open.Add(1);
  services_.metrics.connections_accepted.Add();
}

Connection::~Connection() { CountClosed(); }

void Connection::CountClosed() {
  if (counted_open_) services_.metrics.connections_open.Add(-1);
  counted_open_ = false;
  if (waiting_retry_) services_.metrics.steps_waiting_retry.Add(-1);
  waiting_retry_ = false;
}

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
  DoRead();
}

// Waits for the socket to become readable and then reads into a buffer of
// the thread, so that an idle connection holds no read buffer of its own.
// At most one wait is outstanding.
void Connection::DoRead() {
  if (read_pending_) return;
  read_pending_ = true;
  socket_.async_wait(asio::ip::tcp::socket::wait_read,
                     [self = shared_from_this()](const std::error_code& ec) {
                       self->OnReadable(ec);
                     });
}

void Connection::OnReadable(const std::error_code& ec) {
  read_pending_ = false;
  if (closed_ || ec == asio::error::operation_aborted) return;
  thread_local std::array<char, kReadSize> read_buffer;
  std::error_code read_ec = ec;
  std::size_t n = 0;
  if (!read_ec) n = socket_.read_some(asio::buffer(read_buffer), read_ec);
  if (read_ec == asio::error::would_block ||
      read_ec == asio::error::try_again) {
    DoRead();
    return;
  }
  OnRead(read_ec, std::string_view(read_buffer.data(), n));
}

void Connection::OnRead(const std::error_code& ec, std::string_view bytes) {
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
  ExamineBuffer();
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
void Connection::ExamineBuffer() {
  if (closed_ || step_) return;
  if (queued_bytes_ > kReplyQueueLimit) {
    drain_wait_ = true;
    return;
  }
  if (retry_pending_ || !StartFrameStep()) ReadOn();
}

bool Connection::StartFrameStep() {
  if (!has_soh_ || !has_eot_) return false;
  Metrics& metrics = services_.metrics;
  bool queued = false;
  try {
    step_started_ = std::chrono::steady_clock::now();
    step_.emplace(services_.handler.PrepareFrameStep(FReceiveBuffer));
    step_files_ = step_->archive.kind ? 2 : 1;
    metrics.archive_queue.Add(1);
    queued = true;
    // The outcome is handled on this strand; until then the strand's
    // io_context has work and keeps running. The connection goes along with
    // the outcome, so that it never ends on the writer's thread.
    services_.writer.Submit(
        std::move(step_->archive),
        [self = shared_from_this(), &metrics, submitted = step_started_,
         strand =
             asio::prefer(strand_, asio::execution::outstanding_work.tracked)](
            ArchiveOutcome outcome) mutable {
          metrics.archive_write_seconds.Observe(
              std::chrono::steady_clock::now() - submitted);
          metrics.archive_queue.Add(-1);
          metrics.archive_last_write_ok.Set(
              outcome.failed == ArchiveOutcome::Failed::kNone ? 1 : 0);
          asio::post(strand,
                     [self = std::move(self), outcome = std::move(outcome)] {
                       self->OnArchived(outcome);
                     });
        });
    return true;
  } catch (const std::exception& e) {
    // Out of memory, for instance: the frame stays for a retry.
    if (queued) metrics.archive_queue.Add(-1);
    step_.reset();
    ReportError(std::string(kReceiverPrefix) + e.what());
    ArmRetry();
    return false;
  }
}

void Connection::OnArchived(const ArchiveOutcome& outcome) {
  std::optional<PreparedStep> step = std::move(step_);
  step_.reset();
  CountArchive(outcome);
  if (closed_) return;
  const std::size_t before = FReceiveBuffer.size();
  const ReplyWriter write = [this](std::string_view bytes) { Write(bytes); };
  const ErrorWriter report = [this](std::string_view text) {
    ReportError(text);
  };
  const bool done = services_.handler.FinishFrameStep(
      *step, outcome, FReceiveBuffer, write, report);
  SettleBudget();
  CountStep(done);
  if (done) CountReply(step->reply, step->com);
  // The step may have shortened or emptied the buffer, also when it failed.
  has_soh_ = has_eot_ = false;
  NoteMarkers(FReceiveBuffer);
  if (!done) {
    ArmRetry();
    ReadOn();
  } else if (FReceiveBuffer.size() >= before) {
    // A frame step that succeeds removes at least the first EOT; read on
    // rather than loop should that ever not hold.
    ReadOn();
  } else {
    ExamineBuffer();
  }
}

// Counted also for a connection closed meanwhile: its files are written.
void Connection::CountArchive(const ArchiveOutcome& outcome) {
  Metrics& m = services_.metrics;
  using Failed = ArchiveOutcome::Failed;
  if (outcome.failed == Failed::kNone) {
    m.archive_files_written.Add(static_cast<std::uint64_t>(step_files_));
  } else {
    m.archive_failures.Add();
    if (outcome.failed == Failed::kDecoded) m.archive_files_written.Add();
  }
}

void Connection::CountStep(bool done) {
  Metrics& m = services_.metrics;
  if (done == waiting_retry_) {
    m.steps_waiting_retry.Add(done ? -1 : 1);
    waiting_retry_ = !done;
  }
  if (!done) return;
  const auto now = std::chrono::steady_clock::now();
  m.frame_reply_seconds.Observe(now - step_started_);
  m.replies_last_minute.Add(
      std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch())
          .count());
}

void Connection::CountReply(std::string_view reply, bool com) {
  Metrics& m = services_.metrics;
  if (reply.size() == 1 && reply[0] == NAK) {
    m.replies_nak.Add();
  } else if (!reply.empty()) {
    (com ? m.replies_inf : m.replies_ack).Add();
  }
}

// No frame step to run now: end a connection whose peer has closed its
// side once it is answered, close one whose buffer has grown too large, or
// wait for more bytes.
void Connection::ReadOn() {
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
  DoRead();
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
        self->ExamineBuffer();
      });
}

void Connection::ReportError(std::string_view text) {
  if (auto admitted = throttle_.Admit(text, EntryThrottle::Clock::now())) {
    services_.events.WriteEventLog(*admitted, EventType::kError);
  }
}

// Gives back the budget of what the frame steps removed.
void Connection::SettleBudget() {
  if (FReceiveBuffer.size() < budgeted_) {
    services_.budget.Give(budgeted_ - FReceiveBuffer.size());
    budgeted_ = FReceiveBuffer.size();
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
  if (write_queue_.size() == 1) DoWrite();
}

void Connection::DoWrite() {
  asio::async_write(
      socket_, asio::buffer(write_queue_.front()),
      [self = shared_from_this()](const std::error_code& ec, std::size_t) {
        self->OnWrite(ec);
      });
}

void Connection::OnWrite(const std::error_code& ec) {
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
  if (!write_queue_.empty()) DoWrite();
  if (drain_wait_ && queued_bytes_ <= kReplyQueueLimit / 2) {
    drain_wait_ = false;
    ExamineBuffer();
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
  CountClosed();
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
  std::scoped_lock lock(mutex_);
  connections_.insert(std::move(connection));
}

void ConnectionManager::Remove(const std::shared_ptr<Connection>& connection) {
  std::scoped_lock lock(mutex_);
  connections_.erase(connection);
}

void ConnectionManager::CloseAll() {
  std::scoped_lock lock(mutex_);
  for (const auto& connection : connections_) connection->Close();
}

}  // namespace kvx
