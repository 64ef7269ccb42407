#include "server/connection_limits.h"

#include "core/config.h"
#include "core/settings.h"

namespace kvx {
namespace {

// More texts than this seen by one connection: those no longer held back
// are forgotten.
constexpr std::size_t kThrottleTexts = 16;

}  // namespace

std::size_t ReceiveBuffersLimit(const Settings& settings) {
  const std::int32_t mb = NumberRule(settings.FMaxReceiveBufferMB);
  const std::size_t n =
      mb >= 1 ? static_cast<std::size_t>(mb) : kDefaultReceiveBuffersMB;
  return n * kMiB;
}

bool ReceiveBudget::Take(std::size_t bytes) {
  std::size_t used = used_.load();
  do {
    const std::size_t limit = limit_.load();
    if (used > limit || bytes > limit - used) return false;
  } while (!used_.compare_exchange_weak(used, used + bytes));
  return true;
}

std::optional<std::string> EntryThrottle::Admit(std::string_view text,
                                                Clock::time_point now) {
  const auto it = seen_.find(text);
  if (it == seen_.end()) {
    Prune(now);
    seen_.emplace(std::string(text), Seen{now, 0});
    return std::string(text);
  }
  Seen& seen = it->second;
  if (now - seen.written < interval_) {
    ++seen.held;
    return std::nullopt;
  }
  std::string out(text);
  if (seen.held > 0) {
    out += " (" + std::to_string(seen.held) + " keer herhaald)";
  }
  seen = Seen{now, 0};
  return out;
}

void EntryThrottle::Prune(Clock::time_point now) {
  if (seen_.size() < kThrottleTexts) return;
  std::erase_if(seen_, [&](const auto& s) {
    return s.second.held == 0 && now - s.second.written >= interval_;
  });
  // Every one of them repeating within the second: start afresh rather
  // than grow.
  if (seen_.size() >= kThrottleTexts) seen_.clear();
}

}  // namespace kvx
