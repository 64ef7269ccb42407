#include "observability/event_recorder.h"

#include "observability/metrics.h"

namespace kvx {

void EventRecorder::Record(EventType type, std::string_view text) noexcept {
  switch (type) {
    case EventType::kError:
      metrics_.events_error.Add();
      break;
    case EventType::kWarning:
      metrics_.events_warning.Add();
      break;
    case EventType::kInformation:
      metrics_.events_information.Add();
      break;
  }
  try {
    RecentEntry entry{clock_.Now(), type,
                      std::string(text.substr(0, kRecentTextLimit)),
                      text.size() > kRecentTextLimit};
    MutexLock lock(mutex_);
    recent_.push_front(std::move(entry));
    if (recent_.size() > kRecentEntries) recent_.pop_back();
  } catch (...) {
    // Out of memory: the page misses one entry, the log itself does not.
  }
}

std::vector<RecentEntry> EventRecorder::Recent() const {
  MutexLock lock(mutex_);
  return {recent_.begin(), recent_.end()};
}

}  // namespace kvx
