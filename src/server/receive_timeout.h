// The ReceiveTimeout rule: how long a connection may hold an incomplete
// frame.
#ifndef KVX_SERVER_RECEIVE_TIMEOUT_H_
#define KVX_SERVER_RECEIVE_TIMEOUT_H_

#include <cstdint>
#include <optional>
#include <string_view>

namespace kvx {

// True when `buffer` holds the start of a frame that has not ended: a SOH
// with no EOT after it. Bytes without any SOH are not a frame and do not
// count; they go with the next frame.
bool HoldsIncompleteFrame(std::string_view buffer);

// The clock of one connection's incomplete frame. The connection calls
// Observe after every frame step with what is left in its buffer; the rule
// starts counting when an incomplete frame appears and starts again when a
// frame was taken off the buffer, so a busy connection whose frames arrive
// in pieces is never cut, and a connection with nothing pending is never
// closed for being idle. Times are the Clock's millisecond tick (wrapping).
// Not thread-safe: owned by the connection.
class ReceiveTimeout {
 public:
  // `seconds` as read from the ReceiveTimeout setting; 0 or less: off.
  explicit ReceiveTimeout(std::int32_t seconds);

  bool enabled() const { return limit_ms_ != 0; }

  // `took_frame`: the step took at least one frame since the last call.
  void Observe(std::string_view buffer, bool took_frame, std::uint32_t now);

  // Milliseconds until the pending frame has been held too long (0: it
  // has); nothing when the rule is off or no frame is pending. A connection
  // arms its timer with this and calls Expired when it fires.
  std::optional<std::uint32_t> MillisecondsLeft(std::uint32_t now) const;
  bool Expired(std::uint32_t now) const;

 private:
  std::uint32_t limit_ms_ = 0;
  bool pending_ = false;
  std::uint32_t since_ = 0;
};

}  // namespace kvx

#endif  // KVX_SERVER_RECEIVE_TIMEOUT_H_
