// Rate limit of the warning entries about refused connections.
#ifndef KVX_SERVER_WARNING_LIMITER_H_
#define KVX_SERVER_WARNING_LIMITER_H_

#include <cstdint>
#include <map>
#include <string>

#include "platform/mutex.h"
#include "platform/thread_annotations.h"

namespace kvx {

class Clock;

// Lets at most one warning per key (a refused address) through per
// interval, and counts the ones held back, so that the next warning for
// that key can say how many there were. Tracks at most `max_keys` keys at a
// time; while that many are still within their interval a new key gets no
// warning (an attacker spreading over many addresses cannot flood the log).
// Thread-safe. `clock` must outlive it.
class WarningLimiter {
 public:
  static constexpr std::uint32_t kDefaultIntervalMs = 60'000;
  static constexpr std::size_t kDefaultMaxKeys = 1024;

  explicit WarningLimiter(const Clock& clock,
                          std::uint32_t interval_ms = kDefaultIntervalMs,
                          std::size_t max_keys = kDefaultMaxKeys)
      : clock_(clock), interval_ms_(interval_ms), max_keys_(max_keys) {}
  WarningLimiter(const WarningLimiter&) = delete;
  WarningLimiter& operator=(const WarningLimiter&) = delete;

  struct Decision {
    bool write = false;
    // With `write`: how many warnings for this key were held back since
    // the previous one written.
    std::uint64_t held_back = 0;
  };
  Decision Allow(const std::string& key);

 private:
  struct Entry {
    std::uint64_t written_at = 0;  // ms on the extended clock
    std::uint64_t held_back = 0;
  };
  std::uint64_t NowMs() REQUIRES(mutex_);
  void DropExpired(std::uint64_t now) REQUIRES(mutex_);

  const Clock& clock_;
  const std::uint32_t interval_ms_;
  const std::size_t max_keys_;
  Mutex mutex_;
  // The 32-bit tick count extended to 64 bits, so that its wrap after 49
  // days does not make an old entry look recent.
  bool started_ GUARDED_BY(mutex_) = false;
  std::uint32_t last_tick_ GUARDED_BY(mutex_) = 0;
  std::uint64_t elapsed_ GUARDED_BY(mutex_) = 0;
  std::map<std::string, Entry> entries_ GUARDED_BY(mutex_);
};

}  // namespace kvx

#endif  // KVX_SERVER_WARNING_LIMITER_H_
