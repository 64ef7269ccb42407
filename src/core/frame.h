// The wire frame: markers, base64 codec, length field, building and removing
// frames. Pure functions on byte strings (one byte per character).
#ifndef KVX_CORE_FRAME_H_
#define KVX_CORE_FRAME_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kvx {

inline constexpr char SOH = '\x01';  // frame start
inline constexpr char STX = '\x02';  // end of the length field
inline constexpr char EOT = '\x04';  // frame end
inline constexpr char NAK = '\x15';  // refusal byte, sent instead of a reply

// Decodes base64 and never fails:
// - when the length is not a multiple of 4 the last 1 to 3 characters are
//   ignored;
// - the output holds 3 bytes per group of 4, initially zero;
// - a group whose third character is "=" ends the decoding and shortens the
//   WHOLE output by 2 bytes at its end; a group whose fourth character is "="
//   ends it and shortens by 1; later groups stay zero bytes;
// - a character outside the alphabet (CR, LF, SOH, "=" in the first or second
//   place, anything above 0x7F) counts as the value 0, so its group decodes
//   as if that character were "A".
std::string DecodeBase64(std::string_view text);

// Standard base64 with "=" padding and no line breaks.
std::string EncodeBase64(std::string_view bytes);

// SOH, the decimal length of the base64 payload, STX, the payload, EOT.
std::string BuildFrame(std::string_view message);

// The value of a length field: `field` holds the characters after the SOH up
// to and including the STX. Read by the number rule of the settings; since
// the STX always stops the reading, a sign never applies ("-8" gives 8).
std::int32_t FrameLength(std::string_view field);

// A frame runs from the buffer's first SOH to the first EOT after it. The
// bytes before that SOH belong to the frame: they leave with it and never
// make a frame of their own, so an EOT before any SOH ends nothing.
// Returns how many leading bytes the first frame takes (up to and including
// its EOT), or 0 when the buffer holds no complete frame.
std::size_t FrameEnd(std::string_view buffer);

// Removes the first frame with the bytes before it (FrameEnd). A buffer
// without a complete frame stays unchanged.
void RemoveFrame(std::string& buffer);

// True when the buffer holds a complete frame: a SOH with an EOT after it.
// The gate of the frame step.
bool HasFrameMarkers(std::string_view buffer);

// The first frame of some data, as found by the unpack.
struct UnpackedFrame {
  enum class Found {
    kNone,   // the line-list text holds no SOH or no EOT
    kNoStx,  // SOH and EOT but no STX after the SOH: no length, no payload
    kFrame,  // length read and payload decoded
  };
  Found found = Found::kNone;
  std::int32_t length = 0;  // the length field's value (kFrame only)
  std::string message;      // the decoded payload (kFrame only)
};

// Finds the first frame of `data` (FrameEnd) and decodes it from the
// line-list text of the bytes it takes, the leading ones included; nothing
// after its EOT is read. The payload is bounded by the length field (a
// length beyond the frame's text gives what the text holds, its EOT and
// line end included; a length of 0 or below gives none). Bytes before the
// SOH are ignored. A NUL before the EOT hides the frame (kNone).
UnpackedFrame UnpackFirstFrame(std::string_view data);

}  // namespace kvx

#endif  // KVX_CORE_FRAME_H_
