// Fuzzes the wire frame: the base64 codec, the length field, the unpack of
// the first frame and the removal of a frame, checking their invariants on
// any input.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/frame.h"

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

bool IsBase64Char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
         (c >= '0' && c <= '9') || c == '+' || c == '/';
}

void CheckCodec(std::string_view data) {
  const std::string encoded = kvx::EncodeBase64(data);
  Check(encoded.size() == (data.size() + 2) / 3 * 4, "encoded length");
  const std::size_t pad = data.size() % 3 == 0 ? 0 : 3 - data.size() % 3;
  for (std::size_t i = 0; i < encoded.size(); ++i) {
    const bool in_pad = i + pad >= encoded.size();
    Check(in_pad ? encoded[i] == '=' : IsBase64Char(encoded[i]),
          "encoded alphabet and padding");
  }
  Check(kvx::DecodeBase64(encoded) == data, "encode-decode round trip");
  // Any text decodes, to at most 3 bytes per whole group of 4.
  Check(kvx::DecodeBase64(data).size() <= data.size() / 4 * 3,
        "decoded length");
}

void CheckBuildFrame(std::string_view data) {
  const std::string frame = kvx::BuildFrame(data);
  for (const char c : frame) {
    Check(static_cast<unsigned char>(c) < 0x80, "frame bytes below 0x80");
  }
  Check(frame.front() == kvx::SOH && frame.back() == kvx::EOT,
        "frame delimiters");
  const std::size_t stx = frame.find(kvx::STX);
  Check(stx != std::string::npos, "frame has STX");
  const std::size_t payload = frame.size() - stx - 2;
  Check(frame.substr(1, stx - 1) == std::to_string(payload),
        "length field is the payload length");
  Check(kvx::FrameLength(std::string_view(frame).substr(1, stx)) ==
            static_cast<std::int32_t>(payload),
        "length field reads back");
  const kvx::UnpackedFrame unpacked = kvx::UnpackFirstFrame(frame);
  Check(unpacked.found == kvx::UnpackedFrame::Found::kFrame &&
            unpacked.message == data,
        "built frame unpacks to its message");
}

void CheckUnpackAndRemove(std::string_view data) {
  const kvx::UnpackedFrame unpacked = kvx::UnpackFirstFrame(data);
  if (unpacked.found == kvx::UnpackedFrame::Found::kFrame) {
    Check(unpacked.length > 0 || unpacked.message.empty(),
          "no payload without a length");
    if (unpacked.length > 0) {
      Check(unpacked.message.size() <=
                static_cast<std::size_t>(unpacked.length) / 4 * 3,
            "payload bounded by the length field");
    }
  } else {
    Check(unpacked.message.empty(), "no message without a frame");
  }
  if (unpacked.found != kvx::UnpackedFrame::Found::kNone) {
    Check(kvx::HasFrameMarkers(data), "a found frame passes the gate");
  }

  std::string buffer(data);
  kvx::RemoveFrame(buffer);
  const std::size_t soh = data.find(kvx::SOH);
  const std::size_t eot = soh == std::string_view::npos
                              ? std::string_view::npos
                              : data.find(kvx::EOT, soh + 1);
  if (eot == std::string_view::npos) {
    Check(buffer == data, "no EOT after a SOH: buffer unchanged");
    Check(!kvx::HasFrameMarkers(data), "no frame: the gate stays shut");
  } else {
    Check(buffer.size() < data.size(), "buffer shrinks");
    Check(buffer == data.substr(eot + 1),
          "cut after the first EOT behind the first SOH");
  }
  (void)kvx::FrameLength(data);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes,
                                      std::size_t size) {
  const std::string_view data(reinterpret_cast<const char*>(bytes), size);
  CheckCodec(data);
  CheckBuildFrame(data);
  CheckUnpackAndRemove(data);
  return 0;
}
