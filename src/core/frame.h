// The wire frame: markers, base64 codec, length field, building and removing
// frames. Pure functions on byte strings (one byte per character).
#ifndef KVX_CORE_FRAME_H_
#define KVX_CORE_FRAME_H_

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

// Cuts the buffer after its first EOT: the EOT and every byte before it
// leave. A buffer without EOT stays unchanged.
void RemoveFrame(std::string& buffer);

// True when the buffer holds at least one SOH and one EOT, anywhere and in
// either order: the gate of the frame step.
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

// Finds the first frame in the line-list text of `data` and decodes the
// payload bounded by its length field alone (the EOT is not used to find
// the end; a text that ends sooner gives fewer characters; a length of 0
// or below gives none). Bytes before the SOH are ignored.
UnpackedFrame UnpackFirstFrame(std::string_view data);

}  // namespace kvx

#endif  // KVX_CORE_FRAME_H_
