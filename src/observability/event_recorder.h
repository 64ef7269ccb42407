// Counts event-log entries by type and keeps the latest ones for the status
// page.
#ifndef KVX_OBSERVABILITY_EVENT_RECORDER_H_
#define KVX_OBSERVABILITY_EVENT_RECORDER_H_

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "core/event_log.h"
#include "platform/clock.h"
#include "platform/mutex.h"

namespace kvx {

struct Metrics;

// The status page shows this many entries.
inline constexpr std::size_t kRecentEntries = 20;
// An entry's text is kept up to this many bytes: texts can hold whole
// messages, and the page is for a glance.
inline constexpr std::size_t kRecentTextLimit = 1024;

struct RecentEntry {
  LocalTime time;
  EventType type;
  std::string text;  // Windows-1252, as written
  bool cut = false;  // the text was longer than kRecentTextLimit
};

// Thread-safe. `metrics` and `clock` must outlive it.
class EventRecorder final : public EventObserver {
 public:
  EventRecorder(Metrics& metrics, const Clock& clock)
      : metrics_(metrics), clock_(clock) {}
  EventRecorder(const EventRecorder&) = delete;
  EventRecorder& operator=(const EventRecorder&) = delete;

  // Counts the entry and keeps it as the newest; never throws.
  void Record(EventType type, std::string_view text) noexcept override;
  // The kept entries, newest first.
  std::vector<RecentEntry> Recent() const;

 private:
  Metrics& metrics_;
  const Clock& clock_;
  mutable Mutex mutex_;
  std::deque<RecentEntry> recent_ GUARDED_BY(mutex_);  // newest first
};

}  // namespace kvx

#endif  // KVX_OBSERVABILITY_EVENT_RECORDER_H_
