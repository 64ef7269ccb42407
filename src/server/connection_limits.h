// What bounds a connection's cost to the gateway: the receive buffers of all
// connections together, and how often one connection writes the same entry.
#ifndef KVX_SERVER_CONNECTION_LIMITS_H_
#define KVX_SERVER_CONNECTION_LIMITS_H_

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace kvx {

struct Settings;

inline constexpr std::size_t kMiB = 1024 * 1024;
// The total of every connection's receive buffer when MaxReceiveBufferMB is
// absent or not 1 or more.
inline constexpr std::size_t kDefaultReceiveBuffersMB = 256;

// MaxReceiveBufferMB by the number rule, in bytes: 1 or more that many MiB,
// anything else the default.
std::size_t ReceiveBuffersLimit(const Settings& settings);

// The bytes held in the receive buffers of all connections together.
// Thread-safe.
class ReceiveBudget {
 public:
  explicit ReceiveBudget(std::size_t limit) : limit_(limit) {}
  ReceiveBudget(const ReceiveBudget&) = delete;
  ReceiveBudget& operator=(const ReceiveBudget&) = delete;

  // Applies to the next Take; bytes already taken stay.
  void SetLimit(std::size_t limit) { limit_ = limit; }
  std::size_t Limit() const { return limit_; }
  std::size_t Used() const { return used_; }

  // Takes `bytes` when the total stays within the limit; otherwise takes
  // nothing and returns false.
  bool Take(std::size_t bytes);
  // REQUIRES: at most what was taken and not yet given back.
  void Give(std::size_t bytes) { used_ -= bytes; }

 private:
  std::atomic<std::size_t> limit_;
  std::atomic<std::size_t> used_{0};
};

// Lets one connection write the same entry text at most once per interval.
// A text held back is counted, and the count goes with the text the next
// time it is written: "<text> (<n> keer herhaald)". Not thread-safe: one per
// connection, used on its thread.
class EntryThrottle {
 public:
  using Clock = std::chrono::steady_clock;
  explicit EntryThrottle(Clock::duration interval = std::chrono::seconds(1))
      : interval_(interval) {}

  // The text to write now, or nothing while the same text was written less
  // than an interval ago.
  std::optional<std::string> Admit(std::string_view text,
                                   Clock::time_point now);

 private:
  struct Seen {
    Clock::time_point written;
    std::uint64_t held = 0;  // repeats held back since
  };
  void Prune(Clock::time_point now);

  const Clock::duration interval_;
  std::map<std::string, Seen, std::less<>> seen_;
};

}  // namespace kvx

#endif  // KVX_SERVER_CONNECTION_LIMITS_H_
