#include "core/frame.h"

#include <array>

#include "core/config.h"
#include "core/line_list.h"

namespace kvx {
namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Index of every byte in the alphabet; bytes outside it map to 0.
constexpr std::array<std::uint8_t, 256> MakeDecodeTable() {
  std::array<std::uint8_t, 256> table{};
  for (std::size_t i = 0; i < kAlphabet.size(); ++i) {
    table[static_cast<unsigned char>(kAlphabet[i])] =
        static_cast<std::uint8_t>(i);
  }
  return table;
}

constexpr std::array<std::uint8_t, 256> kDecodeTable = MakeDecodeTable();

std::uint32_t Sextet(char c) {
  return kDecodeTable[static_cast<unsigned char>(c)];
}

}  // namespace

std::string DecodeBase64(std::string_view text) {
  const std::size_t groups = text.size() / 4;
  std::string out(groups * 3, '\0');
  std::size_t shorten = 0;
  for (std::size_t g = 0; g < groups; ++g) {
    const char* c = text.data() + g * 4;
    const std::uint32_t v = Sextet(c[0]) << 18 | Sextet(c[1]) << 12 |
                            Sextet(c[2]) << 6 | Sextet(c[3]);
    out[g * 3] = static_cast<char>(v >> 16 & 0xFF);
    out[g * 3 + 1] = static_cast<char>(v >> 8 & 0xFF);
    out[g * 3 + 2] = static_cast<char>(v & 0xFF);
    if (c[2] == '=') {
      shorten = 2;
      break;
    }
    if (c[3] == '=') {
      shorten = 1;
      break;
    }
  }
  out.resize(out.size() - shorten);
  return out;
}

std::string EncodeBase64(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t v = static_cast<unsigned char>(bytes[i]) << 16 |
                            static_cast<unsigned char>(bytes[i + 1]) << 8 |
                            static_cast<unsigned char>(bytes[i + 2]);
    out += kAlphabet[v >> 18 & 63];
    out += kAlphabet[v >> 12 & 63];
    out += kAlphabet[v >> 6 & 63];
    out += kAlphabet[v & 63];
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    std::uint32_t v = static_cast<unsigned char>(bytes[i]) << 16;
    if (rest == 2) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    out += kAlphabet[v >> 18 & 63];
    out += kAlphabet[v >> 12 & 63];
    out += rest == 2 ? kAlphabet[v >> 6 & 63] : '=';
    out += '=';
  }
  return out;
}

std::string BuildFrame(std::string_view message) {
  const std::string payload = EncodeBase64(message);
  std::string frame;
  frame += SOH;
  frame += std::to_string(payload.size());
  frame += STX;
  frame += payload;
  frame += EOT;
  return frame;
}

std::int32_t FrameLength(std::string_view field) { return NumberRule(field); }

std::size_t FrameEnd(std::string_view buffer) {
  const std::size_t soh = buffer.find(SOH);
  if (soh == std::string_view::npos) return 0;
  const std::size_t eot = buffer.find(EOT, soh + 1);
  return eot == std::string_view::npos ? 0 : eot + 1;
}

void RemoveFrame(std::string& buffer) { buffer.erase(0, FrameEnd(buffer)); }

bool HasFrameMarkers(std::string_view buffer) { return FrameEnd(buffer) > 0; }

UnpackedFrame UnpackFirstFrame(std::string_view data) {
  UnpackedFrame result;
  const std::size_t end = FrameEnd(data);
  if (end == 0) return result;
  // Only the frame's own bytes: a length field that overstates the payload
  // never reaches into the frames queued behind it.
  const std::string text = LineListText(data.substr(0, end));
  std::string_view t = text;
  const std::size_t soh = t.find(SOH);
  if (soh == std::string_view::npos || t.find(EOT) == std::string_view::npos) {
    return result;
  }
  t.remove_prefix(soh);
  const std::size_t stx = t.find(STX);
  if (stx == std::string_view::npos) {
    result.found = UnpackedFrame::Found::kNoStx;
    return result;
  }
  result.found = UnpackedFrame::Found::kFrame;
  result.length = FrameLength(t.substr(1, stx));
  if (result.length > 0) {
    result.message = DecodeBase64(
        t.substr(stx + 1, static_cast<std::size_t>(result.length)));
  }
  return result;
}

}  // namespace kvx
