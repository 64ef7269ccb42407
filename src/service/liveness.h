// Whether the threads the watchdog vouches for are still moving.
#ifndef KVX_SERVICE_LIVENESS_H_
#define KVX_SERVICE_LIVENESS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kvx {

class Clock;
class WorkerProgress;

// Judges, from the progress marks of the watched workers, whether the
// service deserves a watchdog ping: every worker is waiting for work or has
// finished a piece of work within the limit. A worker busy with one piece
// for longer (an archive write that hangs, a handler that never returns) is
// stalled until it finishes that piece. Times come from Clock::TickCount,
// sampled at each Check, so a stall is measured to within one check period.
// Not thread-safe: one thread (the watchdog's) calls Watch and Check.
class Liveness {
 public:
  struct Stall {
    std::string worker;
    std::uint32_t busy_ms = 0;  // since the last check that saw it move
  };

  // `clock` must outlive it.
  Liveness(const Clock& clock, std::uint32_t limit_ms);
  Liveness(const Liveness&) = delete;
  Liveness& operator=(const Liveness&) = delete;

  // Adds a worker; `progress` must outlive the Liveness.
  void Watch(std::string name, const WorkerProgress& progress);

  // Samples every worker. Nothing when all are alive; otherwise the first
  // watched worker that has been busy without finishing anything for
  // longer than the limit.
  std::optional<Stall> Check();

 private:
  struct Watched {
    std::string name;
    const WorkerProgress* progress;
    std::uint64_t finished;  // at the last time it moved
    std::uint32_t moved_at;  // tick of the last check that saw it move
  };

  const Clock& clock_;
  std::uint32_t limit_ms_;
  std::vector<Watched> workers_;
};

}  // namespace kvx

#endif  // KVX_SERVICE_LIVENESS_H_
