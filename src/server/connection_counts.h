// What one connection adds to the service's metrics: the open-connection
// gauge, its frame steps, its archive files and its replies.
#ifndef KVX_SERVER_CONNECTION_COUNTS_H_
#define KVX_SERVER_CONNECTION_COUNTS_H_

#include <chrono>

#include "server/archive_request.h"
#include "server/frame_step.h"

namespace kvx {

struct Metrics;

// Counts for one connection. Used on the connection's strand, except
// Archived, which the archive thread calls. `metrics` must outlive it.
class ConnectionCounts {
 public:
  // Counts the connection as accepted and open.
  explicit ConnectionCounts(Metrics& metrics);
  ConnectionCounts(const ConnectionCounts&) = delete;
  ConnectionCounts& operator=(const ConnectionCounts&) = delete;
  // Closed() if it was not called.
  ~ConnectionCounts();

  // A step handed its files to the archive thread.
  void StepStarted();
  // A started step that could not be handed over after all.
  void StepNotSubmitted();
  // The archive thread wrote them, or failed: counted also for a connection
  // closed meanwhile, since its files are written. Thread-safe.
  static void Archived(Metrics& metrics, int files,
                       std::chrono::steady_clock::time_point started,
                       const ArchiveOutcome& outcome);
  // The step ended: answered with a reply of `kind`, or failed and waits
  // for its retry.
  void StepEnded(const FrameResult& result);
  // The connection closed: it no longer counts as open or waiting.
  void Closed();

  std::chrono::steady_clock::time_point step_started() const {
    return step_started_;
  }

 private:
  Metrics& metrics_;
  std::chrono::steady_clock::time_point step_started_;
  bool waiting_retry_ = false;
  bool open_ = true;
};

}  // namespace kvx

#endif  // KVX_SERVER_CONNECTION_COUNTS_H_
