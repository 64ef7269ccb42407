#include "server/receive_timeout.h"

#include "core/frame.h"

namespace kvx {
namespace {

// At most a day, so that the limit fits the wrapping millisecond tick with
// room to spare.
constexpr std::int32_t kMaxSeconds = 24 * 60 * 60;

}  // namespace

bool HoldsIncompleteFrame(std::string_view buffer) {
  const std::size_t soh = buffer.find(static_cast<char>(SOH));
  if (soh == std::string_view::npos) return false;
  return buffer.find(static_cast<char>(EOT), soh + 1) == std::string_view::npos;
}

ReceiveTimeout::ReceiveTimeout(std::int32_t seconds) {
  if (seconds <= 0) return;
  if (seconds > kMaxSeconds) seconds = kMaxSeconds;
  limit_ms_ = static_cast<std::uint32_t>(seconds) * 1000u;
}

void ReceiveTimeout::Observe(std::string_view buffer, bool took_frame,
                             std::uint32_t now) {
  if (!enabled()) return;
  if (!HoldsIncompleteFrame(buffer)) {
    pending_ = false;
    return;
  }
  if (!pending_ || took_frame) {
    pending_ = true;
    since_ = now;
  }
}

std::optional<std::uint32_t> ReceiveTimeout::MillisecondsLeft(
    std::uint32_t now) const {
  if (!enabled() || !pending_) return std::nullopt;
  const std::uint32_t held = now - since_;
  return held >= limit_ms_ ? 0 : limit_ms_ - held;
}

bool ReceiveTimeout::Expired(std::uint32_t now) const {
  const auto left = MillisecondsLeft(now);
  return left && *left == 0;
}

}  // namespace kvx
