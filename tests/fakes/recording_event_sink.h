// An event sink that keeps every entry for the test to inspect.
#ifndef KVX_TESTS_FAKES_RECORDING_EVENT_SINK_H_
#define KVX_TESTS_FAKES_RECORDING_EVENT_SINK_H_

#include <mutex>
#include <string>
#include <vector>

#include "core/event_sink.h"

namespace kvx {

struct RecordedEvent {
  std::string source;
  EventType type;
  int id;
  int category;
  std::string text;
  bool operator==(const RecordedEvent&) const = default;
};

class RecordingEventSink final : public EventSink {
 public:
  void Report(const EventEntry& e) noexcept override {
    std::scoped_lock lock(mutex_);
    events_.push_back(RecordedEvent{std::string(e.source), e.type, e.id,
                                    e.category, std::string(e.text)});
  }
  std::vector<RecordedEvent> Events() const {
    std::scoped_lock lock(mutex_);
    return events_;
  }
  // The texts alone, in order.
  std::vector<std::string> Texts() const {
    std::scoped_lock lock(mutex_);
    std::vector<std::string> texts;
    for (const auto& e : events_) texts.push_back(e.text);
    return texts;
  }
  void Clear() {
    std::scoped_lock lock(mutex_);
    events_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<RecordedEvent> events_;
};

}  // namespace kvx

#endif  // KVX_TESTS_FAKES_RECORDING_EVENT_SINK_H_
