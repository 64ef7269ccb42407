#include "server/proxy_header.h"

#include <algorithm>
#include <array>
#include <asio/ip/address.hpp>
#include <cstdint>
#include <system_error>
#include <vector>

namespace kvx {
namespace {

constexpr std::string_view kV1Signature = "PROXY ";
constexpr std::string_view kV2Signature{"\r\n\r\n\0\r\nQUIT\n", 12};

// Bytes of the address block of a version 2 header, per family.
constexpr std::size_t kV2Inet = 12;   // two IPv4 addresses, two ports
constexpr std::size_t kV2Inet6 = 36;  // two IPv6 addresses, two ports
constexpr std::size_t kV2Unix = 216;  // two socket paths

ProxyHeader Bad(std::string reason) {
  ProxyHeader result;
  result.parse = ProxyHeader::Parse::kBad;
  result.reason = std::move(reason);
  return result;
}

ProxyHeader NeedMore() { return ProxyHeader{}; }

ProxyHeader Done(std::size_t length) {
  ProxyHeader result;
  result.parse = ProxyHeader::Parse::kDone;
  result.length = length;
  result.keep_peer = true;
  return result;
}

// True when the shorter of the two is a prefix of the other.
bool FitsSignature(std::string_view bytes, std::string_view signature) {
  const std::size_t n = std::min(bytes.size(), signature.size());
  return bytes.substr(0, n) == signature.substr(0, n);
}

std::vector<std::string_view> SplitOnBlanks(std::string_view line) {
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  for (;;) {
    const std::size_t blank = line.find(' ', start);
    fields.push_back(line.substr(start, blank - start));
    if (blank == std::string_view::npos) return fields;
    start = blank + 1;
  }
}

// A decimal port, 0 to 65535, without sign or leading zero.
bool ReadPort(std::string_view text, std::uint16_t& port) {
  if (text.empty() || text.size() > 5) return false;
  if (text.size() > 1 && text[0] == '0') return false;
  std::uint32_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
  }
  if (value > 65535) return false;
  port = static_cast<std::uint16_t>(value);
  return true;
}

// An address in the family of `protocol` ("TCP4" or "TCP6"); a scope
// ("%eth0") is no part of a client's address.
bool ReadAddress(std::string_view text, bool v6, asio::ip::address& address) {
  if (text.empty() || text.find('%') != std::string_view::npos) return false;
  std::error_code ec;
  if (v6) {
    address = asio::ip::make_address_v6(std::string(text), ec);
  } else {
    address = asio::ip::make_address_v4(std::string(text), ec);
  }
  return !ec;
}

// "PROXY" SP ("TCP4" | "TCP6") SP src SP dst SP sport SP dport, or "PROXY"
// SP "UNKNOWN" and anything up to CR LF.
ProxyHeader ParseV1Line(std::string_view line, std::size_t length) {
  const std::vector<std::string_view> fields = SplitOnBlanks(line);
  if (fields[1] == "UNKNOWN") return Done(length);
  if (fields[1] != "TCP4" && fields[1] != "TCP6") {
    return Bad("onbekend protocol");
  }
  if (fields.size() != 6) return Bad("onjuist aantal velden");
  const bool v6 = fields[1] == "TCP6";
  asio::ip::address source;
  asio::ip::address destination;
  if (!ReadAddress(fields[2], v6, source) ||
      !ReadAddress(fields[3], v6, destination)) {
    return Bad("ongeldig adres");
  }
  std::uint16_t source_port = 0;
  std::uint16_t destination_port = 0;
  if (!ReadPort(fields[4], source_port) ||
      !ReadPort(fields[5], destination_port)) {
    return Bad("ongeldige poort");
  }
  ProxyHeader result = Done(length);
  result.keep_peer = false;
  result.source = asio::ip::tcp::endpoint(source, source_port);
  return result;
}

// The line is printable ASCII up to CR LF; the search stops at the limit,
// so a client that sends no line end is refused after 107 bytes.
ProxyHeader ParseV1(std::string_view bytes) {
  const std::size_t n = std::min(bytes.size(), kProxyV1MaxLength);
  for (std::size_t i = kV1Signature.size(); i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c == '\r') {
      if (i + 2 > kProxyV1MaxLength) return Bad("regel langer dan 107 bytes");
      if (i + 1 == bytes.size()) return NeedMore();
      if (bytes[i + 1] != '\n') return Bad("ongeldig teken in de regel");
      return ParseV1Line(bytes.substr(0, i), i + 2);
    }
    if (c < 0x20 || c > 0x7E) return Bad("ongeldig teken in de regel");
  }
  if (bytes.size() >= kProxyV1MaxLength) {
    return Bad("regel langer dan 107 bytes");
  }
  return NeedMore();
}

std::uint16_t ReadBigEndian16(std::string_view bytes, std::size_t at) {
  return static_cast<std::uint16_t>(
      (static_cast<unsigned char>(bytes[at]) << 8) |
      static_cast<unsigned char>(bytes[at + 1]));
}

// The TLVs after the address block: type, 16-bit length, value; each must
// end inside the header. Their content is not used.
bool TlvsFit(std::string_view tlvs) {
  while (!tlvs.empty()) {
    if (tlvs.size() < 3) return false;
    const std::size_t length = ReadBigEndian16(tlvs, 1);
    if (tlvs.size() - 3 < length) return false;
    tlvs.remove_prefix(3 + length);
  }
  return true;
}

// The address block of a PROXY command over a stream: the source address
// and port.
asio::ip::tcp::endpoint V2Source(std::string_view block, bool v6) {
  if (v6) {
    asio::ip::address_v6::bytes_type raw;
    for (std::size_t i = 0; i < raw.size(); ++i) {
      raw[i] = static_cast<unsigned char>(block[i]);
    }
    return {asio::ip::address_v6(raw), ReadBigEndian16(block, 32)};
  }
  asio::ip::address_v4::bytes_type raw;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    raw[i] = static_cast<unsigned char>(block[i]);
  }
  return {asio::ip::address_v4(raw), ReadBigEndian16(block, 8)};
}

// 12-byte signature, version and command, family and transport, the
// length of the rest (big-endian), addresses, TLVs.
ProxyHeader ParseV2(std::string_view bytes) {
  if (bytes.size() > 12) {
    const unsigned char version_command = static_cast<unsigned char>(bytes[12]);
    if ((version_command >> 4) != 2 || (version_command & 0x0F) > 1) {
      return Bad("onbekende versie of opdracht");
    }
  }
  if (bytes.size() < kProxyV2FixedLength) return NeedMore();
  const bool local = (static_cast<unsigned char>(bytes[12]) & 0x0F) == 0;
  const unsigned char family = static_cast<unsigned char>(bytes[13]) >> 4;
  const unsigned char transport = static_cast<unsigned char>(bytes[13]) & 0x0F;
  const std::size_t rest = ReadBigEndian16(bytes, 14);
  // A LOCAL header (the balancer's own check) carries no client: whatever
  // follows within its length is skipped unread.
  std::size_t block = 0;
  if (!local) {
    if (family > 3 || transport > 2) return Bad("onbekende adresfamilie");
    const std::array<std::size_t, 4> sizes = {0, kV2Inet, kV2Inet6, kV2Unix};
    block = sizes[family];
    if (rest < block) return Bad("lengte te kort voor de adressen");
  }
  const std::size_t length = kProxyV2FixedLength + rest;
  if (bytes.size() < length) return NeedMore();
  if (local || family == 0) return Done(length);
  const std::string_view body = bytes.substr(kProxyV2FixedLength, rest);
  if (!TlvsFit(body.substr(block))) return Bad("ongeldige TLV");
  // A Unix socket path says nothing about the client's machine.
  if (family == 3) return Done(length);
  if (transport != 1) return Bad("geen TCP verbinding");
  ProxyHeader result = Done(length);
  result.keep_peer = false;
  result.source = V2Source(body, family == 2);
  return result;
}

}  // namespace

ProxyHeader ParseProxyHeader(std::string_view bytes) {
  if (bytes.empty()) return NeedMore();
  if (FitsSignature(bytes, kV1Signature)) {
    if (bytes.size() <= kV1Signature.size()) return NeedMore();
    return ParseV1(bytes);
  }
  if (FitsSignature(bytes, kV2Signature)) {
    if (bytes.size() <= kV2Signature.size()) return NeedMore();
    return ParseV2(bytes);
  }
  return Bad("geen PROXY kop");
}

std::string ProxyHeaderRefusedText(std::string_view peer_id,
                                   std::string_view reason) {
  return "Ontvanger: PROXY kop van " + std::string(peer_id) + " ongeldig (" +
         std::string(reason) + "); verbinding verbroken";
}

std::string ProxyHeaderLateText(std::string_view peer_id) {
  return "Ontvanger: PROXY kop van " + std::string(peer_id) + " niet binnen " +
         std::to_string(kProxyHeaderDeadline.count()) +
         " seconden ontvangen; verbinding verbroken";
}

}  // namespace kvx
