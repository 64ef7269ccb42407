#include "service/liveness.h"

#include <utility>

#include "platform/clock.h"
#include "platform/worker_progress.h"

namespace kvx {

Liveness::Liveness(const Clock& clock, std::uint32_t limit_ms)
    : clock_(clock), limit_ms_(limit_ms) {}

void Liveness::Watch(std::string name, const WorkerProgress& progress) {
  workers_.push_back(Watched{std::move(name), &progress,
                             progress.Read().finished, clock_.TickCount()});
}

std::optional<Liveness::Stall> Liveness::Check() {
  const std::uint32_t now = clock_.TickCount();
  std::optional<Stall> stall;
  // Every worker is sampled, also after a stall was found, so that each
  // one's last movement stays current.
  for (Watched& w : workers_) {
    const WorkerProgress::Marks marks = w.progress->Read();
    if (!marks.busy() || marks.finished != w.finished) {
      w.finished = marks.finished;
      w.moved_at = now;
      continue;
    }
    // Unsigned difference: right across the wrap of the tick count.
    const std::uint32_t busy_ms = now - w.moved_at;
    if (busy_ms > limit_ms_ && !stall) stall = Stall{w.name, busy_ms};
  }
  return stall;
}

}  // namespace kvx
