#include "server/allow_list.h"

#include <optional>

namespace kvx {
namespace {

using Bytes = std::array<std::uint8_t, 16>;

bool IsSeparator(char c) {
  return c == ',' || c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

Bytes V6Bytes(const asio::ip::address& a) {
  if (a.is_v4()) {
    return asio::ip::make_address_v6(asio::ip::v4_mapped, a.to_v4()).to_bytes();
  }
  return a.to_v6().to_bytes();
}

// A prefix length of plain decimal digits, at most `max`.
std::optional<int> ParsePrefix(std::string_view digits, int max) {
  if (digits.empty() || digits.size() > 3) return std::nullopt;
  int value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value > max) return std::nullopt;
  return value;
}

void MaskBeyond(Bytes& bytes, int prefix) {
  for (int i = 0; i < 16; ++i) {
    const int keep = prefix - i * 8;
    if (keep >= 8) continue;
    bytes[static_cast<std::size_t>(i)] &=
        keep <= 0 ? 0 : static_cast<std::uint8_t>(0xFF << (8 - keep));
  }
}

bool Holds(const Bytes& network, int prefix, const Bytes& address) {
  Bytes masked = address;
  MaskBeyond(masked, prefix);
  return masked == network;
}

}  // namespace

AllowList::ParseResult AllowList::Parse(std::string_view text) {
  ranges_.clear();
  std::vector<Range> ranges;
  std::size_t i = 0;
  while (i < text.size()) {
    if (IsSeparator(text[i])) {
      ++i;
      continue;
    }
    std::size_t end = i;
    while (end < text.size() && !IsSeparator(text[end])) ++end;
    const std::string_view item = text.substr(i, end - i);
    i = end;
    const std::size_t slash = item.find('/');
    const std::string address_text(item.substr(0, slash));
    std::error_code ec;
    const asio::ip::address address = asio::ip::make_address(address_text, ec);
    if (ec || address_text.find('%') != std::string::npos) {
      return {false, std::string(item)};
    }
    const int bits = address.is_v4() ? 32 : 128;
    int prefix = bits;
    if (slash != std::string_view::npos) {
      const auto parsed = ParsePrefix(item.substr(slash + 1), bits);
      if (!parsed) return {false, std::string(item)};
      prefix = *parsed;
    }
    Range range{V6Bytes(address), prefix + (128 - bits)};
    MaskBeyond(range.bytes, range.prefix);
    ranges.push_back(range);
  }
  ranges_ = std::move(ranges);
  return {true, {}};
}

bool AllowList::Allows(const asio::ip::address& address) const {
  if (ranges_.empty()) return true;
  const Bytes bytes = V6Bytes(address);
  for (const Range& r : ranges_) {
    if (Holds(r.bytes, r.prefix, bytes)) return true;
  }
  return false;
}

}  // namespace kvx
