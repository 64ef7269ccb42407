#include "server/warning_limiter.h"

#include "platform/clock.h"

namespace kvx {

std::uint64_t WarningLimiter::NowMs() {
  const std::uint32_t tick = clock_.TickCount();
  if (started_) elapsed_ += static_cast<std::uint32_t>(tick - last_tick_);
  started_ = true;
  last_tick_ = tick;
  return elapsed_;
}

void WarningLimiter::DropExpired(std::uint64_t now) {
  for (auto it = entries_.begin(); it != entries_.end();) {
    if (now - it->second.written_at >= interval_ms_) {
      it = entries_.erase(it);
    } else {
      ++it;
    }
  }
}

WarningLimiter::Decision WarningLimiter::Allow(const std::string& key) {
  MutexLock lock(mutex_);
  const std::uint64_t now = NowMs();
  auto it = entries_.find(key);
  if (it != entries_.end()) {
    Entry& e = it->second;
    if (now - e.written_at < interval_ms_) {
      ++e.held_back;
      return {};
    }
    const Decision d{true, e.held_back};
    e = Entry{now, 0};
    return d;
  }
  if (entries_.size() >= max_keys_) {
    DropExpired(now);
    if (entries_.size() >= max_keys_) return {};
  }
  entries_.emplace(key, Entry{now, 0});
  return {true, 0};
}

}  // namespace kvx
