// The gateway's counters, gauges and histograms, shared by the frame path
// and the HTTP endpoint that reads them.
#ifndef KVX_OBSERVABILITY_METRICS_H_
#define KVX_OBSERVABILITY_METRICS_H_

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kvx {

// A count that only grows. Lock-free; relaxed order, as nothing else is
// published through it.
class Counter {
 public:
  void Add(std::uint64_t n = 1) noexcept {
    value_.fetch_add(n, std::memory_order_relaxed);
  }
  std::uint64_t Value() const noexcept {
    return value_.load(std::memory_order_relaxed);
  }

 private:
  std::atomic<std::uint64_t> value_{0};
};

// A value that goes up and down. Lock-free, relaxed order.
class Gauge {
 public:
  void Add(std::int64_t n) noexcept {
    value_.fetch_add(n, std::memory_order_relaxed);
  }
  void Set(std::int64_t v) noexcept {
    value_.store(v, std::memory_order_relaxed);
  }
  std::int64_t Value() const noexcept {
    return value_.load(std::memory_order_relaxed);
  }

 private:
  std::atomic<std::int64_t> value_{0};
};

// The upper bounds of every duration histogram, from 50 µs to 10 s: the
// frame path answers in about 100 µs, a stuck archive write takes seconds.
inline constexpr std::array<std::chrono::nanoseconds, 17> kDurationBounds = {
    std::chrono::microseconds(50),   std::chrono::microseconds(100),
    std::chrono::microseconds(250),  std::chrono::microseconds(500),
    std::chrono::milliseconds(1),    std::chrono::microseconds(2500),
    std::chrono::milliseconds(5),    std::chrono::milliseconds(10),
    std::chrono::milliseconds(25),   std::chrono::milliseconds(50),
    std::chrono::milliseconds(100),  std::chrono::milliseconds(250),
    std::chrono::milliseconds(500),  std::chrono::seconds(1),
    std::chrono::milliseconds(2500), std::chrono::seconds(5),
    std::chrono::seconds(10)};

// What a histogram held at one moment, buckets cumulative as Prometheus
// shows them (the last one, +Inf, equals count).
struct HistogramValues {
  std::vector<double> bounds_seconds;
  std::vector<std::uint64_t> cumulative;  // one per bound, then +Inf
  std::uint64_t count = 0;
  double sum_seconds = 0;
};

// A duration histogram with the fixed buckets of kDurationBounds. Observe is
// lock-free; Read may see an observation in the buckets but not yet in the
// sum, which a scrape tolerates.
class Histogram {
 public:
  void Observe(std::chrono::nanoseconds d) noexcept;
  HistogramValues Read() const;

 private:
  // Per bucket (not cumulative); the last is above every bound.
  std::array<std::atomic<std::uint64_t>, kDurationBounds.size() + 1> buckets_{};
  std::atomic<std::uint64_t> sum_ns_{0};
};

// Answered frames per second over the last minute, in one slot per second.
// Lock-free; two threads that open a new second at once may lose a count,
// which a figure for a person's eyes allows.
class MinuteWindow {
 public:
  void Add(std::int64_t second) noexcept;
  // The counts of the 60 seconds up to and including `now_second`.
  std::uint64_t Sum(std::int64_t now_second) const noexcept;

 private:
  struct Slot {
    std::atomic<std::int64_t> second{-1};
    std::atomic<std::uint64_t> count{0};
  };
  std::array<Slot, 60> slots_;
};

// Every figure of the gateway. One per process, owned by the service module;
// every member is safe to use from any thread. Each hook in the frame path
// is one relaxed atomic operation.
struct Metrics {
  Gauge connections_open;
  Counter connections_accepted;
  Counter replies_inf;
  Counter replies_ack;
  Counter replies_nak;
  MinuteWindow replies_last_minute;  // keyed by steady-clock seconds
  Counter bytes_received;
  Counter bytes_sent;
  Counter archive_files_written;
  Counter archive_failures;
  Gauge archive_queue;  // frame steps handed to the archive, unfinished
  Gauge archive_last_write_ok{};  // 1 after a good write, 0 after a failure
  Histogram archive_write_seconds;
  Histogram frame_reply_seconds;
  Counter buffer_limit_closes;
  // Connections closed before their first frame byte, by reason.
  Counter refused_allow_list;
  Counter refused_limit;
  Counter refused_proxy_header;
  Counter refused_handshake;
  Counter receive_timeout_closes;
  Gauge steps_waiting_retry;
  Gauge database_linked;
  Counter database_link_attempts;
  Counter datagrams_sent;
  Counter datagrams_failed;
  Counter events_error;
  Counter events_warning;
  Counter events_information;
  Gauge paused;

  Metrics() { archive_last_write_ok.Set(1); }
  Metrics(const Metrics&) = delete;
  Metrics& operator=(const Metrics&) = delete;
};

}  // namespace kvx

#endif  // KVX_OBSERVABILITY_METRICS_H_
