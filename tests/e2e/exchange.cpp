#include "e2e/exchange.h"

#include <algorithm>
#include <cctype>

namespace kvx::e2e {
namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string Encode(std::string_view bytes) {
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
    unsigned v = 0;
    for (std::size_t k = 0; k < 3; ++k) {
      v = v << 8 | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
    }
    for (std::size_t k = 0; k < 4; ++k) {
      out += k <= n ? kAlphabet[v >> (18 - 6 * k) & 63] : '=';
    }
  }
  return out;
}

// Strict: only alphabet characters and final padding; nullopt otherwise.
std::optional<std::string> Decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::string out;
  for (std::size_t i = 0; i < text.size(); i += 4) {
    unsigned v = 0;
    int pad = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      const char c = text[i + k];
      const std::size_t at = kAlphabet.find(c);
      if (c == '=' && k >= 2 && i + 4 == text.size()) {
        ++pad;
        v <<= 6;
        continue;
      }
      if (at == std::string_view::npos || pad > 0) return std::nullopt;
      v = v << 6 | static_cast<unsigned>(at);
    }
    for (int k = 0; k < 3 - pad; ++k) {
      out += static_cast<char>(v >> (16 - 8 * k) & 0xFF);
    }
  }
  return out;
}

}  // namespace

std::string Message(std::string_view tag, std::string_view type) {
  return "<MSG tag=\"" + std::string(tag) + "\" type=\"" + std::string(type) +
         "\"><Verzender>ab</Verzender><Ontvanger>cd</Ontvanger></MSG>";
}

std::string AckMessage(std::string_view tag) {
  return "<?xml version=\"1.0\" ?>\r\n<MSG tag=\"" + std::string(tag) +
         "\" type=\"ACK\" protocol=\"CON_KV\" versie=\"1.0\">\r\n"
         "<Verzender>kav</Verzender>\r\n"
         "<Ontvanger>kav</Ontvanger>\r\n"
         "</MSG>\r\n";
}

std::string Frame(std::string_view message) {
  const std::string payload = Encode(message);
  return "\x01" + std::to_string(payload.size()) + "\x02" + payload + "\x04";
}

std::string Attribute(std::string_view text, std::string_view name) {
  const std::string marker = " " + std::string(name) + "=\"";
  const std::size_t at = text.find(marker);
  if (at == std::string_view::npos) return {};
  const std::string_view rest = text.substr(at + marker.size());
  return std::string(rest.substr(0, rest.find('"')));
}

std::string Reply::Type() const { return Attribute(message, "type"); }
std::string Reply::Tag() const { return Attribute(message, "tag"); }

std::optional<Reply> ReadReply(TcpClient& client, milliseconds timeout) {
  const std::string first = client.ReadExactly(1, timeout);
  if (first.size() != 1) return std::nullopt;
  if (first[0] == kNak) return Reply{true, {}};
  if (first[0] != '\x01') return std::nullopt;
  std::string digits;
  for (;;) {
    const std::string c = client.ReadExactly(1, timeout);
    if (c.size() != 1 || digits.size() > 9) return std::nullopt;
    if (c[0] == '\x02') break;
    if (!std::isdigit(static_cast<unsigned char>(c[0]))) return std::nullopt;
    digits += c;
  }
  if (digits.empty()) return std::nullopt;
  const std::size_t length = std::stoul(digits);
  const std::string rest = client.ReadExactly(length + 1, timeout);
  if (rest.size() != length + 1 || rest.back() != '\x04') return std::nullopt;
  auto message = Decode(std::string_view(rest).substr(0, length));
  if (!message) return std::nullopt;
  return Reply{false, std::move(*message)};
}

}  // namespace kvx::e2e
