#include "server/connection_counts.h"

#include <cstdint>

#include "observability/metrics.h"

namespace kvx {

ConnectionCounts::ConnectionCounts(Metrics& metrics) : metrics_(metrics) {
  metrics_.connections_open.Add(1);
  metrics_.connections_accepted.Add();
}

ConnectionCounts::~ConnectionCounts() { Closed(); }

void ConnectionCounts::StepStarted() {
  step_started_ = std::chrono::steady_clock::now();
  metrics_.archive_queue.Add(1);
}

void ConnectionCounts::StepNotSubmitted() { metrics_.archive_queue.Add(-1); }

void ConnectionCounts::Archived(Metrics& metrics, int files,
                                std::chrono::steady_clock::time_point started,
                                const ArchiveOutcome& outcome) {
  using Failed = ArchiveOutcome::Failed;
  metrics.archive_write_seconds.Observe(std::chrono::steady_clock::now() -
                                        started);
  metrics.archive_queue.Add(-1);
  metrics.archive_last_write_ok.Set(outcome.failed == Failed::kNone ? 1 : 0);
  if (outcome.failed == Failed::kNone) {
    metrics.archive_files_written.Add(static_cast<std::uint64_t>(files));
  } else {
    metrics.archive_failures.Add();
    if (outcome.failed == Failed::kDecoded) metrics.archive_files_written.Add();
  }
}

void ConnectionCounts::StepEnded(const FrameResult& result) {
  const bool done = !result.failed();
  if (done == waiting_retry_) {
    metrics_.steps_waiting_retry.Add(done ? -1 : 1);
    waiting_retry_ = !done;
  }
  if (!done) return;
  const auto now = std::chrono::steady_clock::now();
  metrics_.frame_reply_seconds.Observe(now - step_started_);
  metrics_.replies_last_minute.Add(
      std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch())
          .count());
  switch (result.kind) {
    case ReplyKind::kInf:
      metrics_.replies_inf.Add();
      break;
    case ReplyKind::kAck:
      metrics_.replies_ack.Add();
      break;
    case ReplyKind::kNak:
      metrics_.replies_nak.Add();
      break;
  }
}

void ConnectionCounts::Closed() {
  if (open_) metrics_.connections_open.Add(-1);
  open_ = false;
  if (waiting_retry_) metrics_.steps_waiting_retry.Add(-1);
  waiting_retry_ = false;
}

}  // namespace kvx
