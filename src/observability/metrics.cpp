#include "observability/metrics.h"

namespace kvx {

void Histogram::Observe(std::chrono::nanoseconds d) noexcept {
  std::size_t i = 0;
  while (i < kDurationBounds.size() && d > kDurationBounds[i]) ++i;
  buckets_[i].fetch_add(1, std::memory_order_relaxed);
  const auto ns = d.count() < 0 ? 0 : static_cast<std::uint64_t>(d.count());
  sum_ns_.fetch_add(ns, std::memory_order_relaxed);
}

HistogramValues Histogram::Read() const {
  HistogramValues v;
  std::uint64_t running = 0;
  for (std::size_t i = 0; i < buckets_.size(); ++i) {
    running += buckets_[i].load(std::memory_order_relaxed);
    if (i < kDurationBounds.size()) {
      v.bounds_seconds.push_back(
          std::chrono::duration<double>(kDurationBounds[i]).count());
    }
    v.cumulative.push_back(running);
  }
  v.count = running;
  v.sum_seconds =
      static_cast<double>(sum_ns_.load(std::memory_order_relaxed)) / 1e9;
  return v;
}

void MinuteWindow::Add(std::int64_t second) noexcept {
  Slot& slot = slots_[static_cast<std::size_t>(second % 60)];
  std::int64_t seen = slot.second.load(std::memory_order_relaxed);
  if (seen != second && slot.second.compare_exchange_strong(
                            seen, second, std::memory_order_relaxed)) {
    slot.count.store(0, std::memory_order_relaxed);
  }
  slot.count.fetch_add(1, std::memory_order_relaxed);
}

std::uint64_t MinuteWindow::Sum(std::int64_t now_second) const noexcept {
  std::uint64_t sum = 0;
  for (const Slot& slot : slots_) {
    const std::int64_t s = slot.second.load(std::memory_order_relaxed);
    if (s > now_second - 60 && s <= now_second) {
      sum += slot.count.load(std::memory_order_relaxed);
    }
  }
  return sum;
}

}  // namespace kvx
