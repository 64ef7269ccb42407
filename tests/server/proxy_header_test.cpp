// The PROXY header parser: whole headers of both versions, every prefix of
// them, and bytes that cannot begin a header.
#include "server/proxy_header.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kvx {
namespace {

using Parse = ProxyHeader::Parse;

const std::string kV2Signature("\r\n\r\n\0\r\nQUIT\n", 12);
// What a client sends after the header: the first bytes of a frame.
const std::string kFrameStart =
    "\x01"
    "12\x02PE1TRyB0YWc9";

std::string Big16(std::uint16_t value) {
  return {static_cast<char>(value >> 8), static_cast<char>(value & 0xFF)};
}

// A version 2 header: command (0 LOCAL, 1 PROXY), family and transport
// byte, the body; `length` overrides the length field when not -1.
std::string V2(int command, unsigned char family_transport,
               const std::string& body, int length = -1) {
  return kV2Signature + static_cast<char>(0x20 | command) +
         static_cast<char>(family_transport) +
         Big16(static_cast<std::uint16_t>(length < 0 ? body.size() : length)) +
         body;
}

// 192.0.2.10:50123 -> 198.51.100.1:9200.
const std::string kInetBody = std::string("\xC0\x00\x02\x0A", 4) +
                              std::string("\xC6\x33\x64\x01", 4) +
                              Big16(50123) + Big16(9200);
// 2001:db8::7:443 -> 2001:db8::1:9200.
const std::string kInet6Body =
    std::string("\x20\x01\x0D\xB8\0\0\0\0\0\0\0\0\0\0\0\x07", 16) +
    std::string("\x20\x01\x0D\xB8\0\0\0\0\0\0\0\0\0\0\0\x01", 16) + Big16(443) +
    Big16(9200);
// Two TLVs as the balancer adds them: ALPN "h2" and a NOOP of 3 bytes.
const std::string kTlvs = std::string("\x01", 1) + Big16(2) + "h2" +
                          std::string("\x04", 1) + Big16(3) +
                          std::string(3, '\0');

std::string Text(const ProxyHeader& h) {
  return h.source.address().to_string() + ":" + std::to_string(h.source.port());
}

struct GoodCase {
  const char* name;
  std::string header;
  std::string source;  // "" when the connection keeps its own address
};

const std::vector<GoodCase>& GoodCases() {
  static const std::vector<GoodCase> cases = {
      {"v1 TCP4", "PROXY TCP4 192.0.2.10 198.51.100.1 50123 9200\r\n",
       "192.0.2.10:50123"},
      {"v1 TCP4 port 0 and 65535", "PROXY TCP4 10.0.0.1 10.0.0.2 0 65535\r\n",
       "10.0.0.1:0"},
      {"v1 TCP6", "PROXY TCP6 2001:db8::7 2001:db8::1 443 9200\r\n",
       "2001:db8::7:443"},
      {"v1 TCP6 mapped IPv4", "PROXY TCP6 ::ffff:192.0.2.10 ::1 50123 9200\r\n",
       "::ffff:192.0.2.10:50123"},
      {"v1 UNKNOWN", "PROXY UNKNOWN\r\n", ""},
      // The longest line a sender writes: 107 bytes.
      {"v1 UNKNOWN with addresses",
       "PROXY UNKNOWN ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff "
       "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff 65535 65535\r\n",
       ""},
      {"v2 PROXY IPv4", V2(1, 0x11, kInetBody), "192.0.2.10:50123"},
      {"v2 PROXY IPv4 with TLVs", V2(1, 0x11, kInetBody + kTlvs),
       "192.0.2.10:50123"},
      {"v2 PROXY IPv6", V2(1, 0x21, kInet6Body), "2001:db8::7:443"},
      {"v2 PROXY IPv6 with TLVs", V2(1, 0x21, kInet6Body + kTlvs),
       "2001:db8::7:443"},
      {"v2 LOCAL", V2(0, 0x00, ""), ""},
      // The balancer's check may still fill in addresses; they are ignored.
      {"v2 LOCAL with IPv4 and TLVs", V2(0, 0x11, kInetBody + kTlvs), ""},
      {"v2 LOCAL with unreadable body", V2(0, 0xFF, "\x01\x02\x03"), ""},
      {"v2 PROXY unspecified family", V2(1, 0x00, kTlvs), ""},
      {"v2 PROXY Unix socket", V2(1, 0x31, std::string(216, 'u')), ""},
  };
  return cases;
}

TEST(ProxyHeaderTest, ReadsWholeHeadersAndLeavesTheBytesAfterThem) {
  for (const auto& c : GoodCases()) {
    for (const std::string& after : {std::string(), kFrameStart}) {
      const ProxyHeader h = ParseProxyHeader(c.header + after);
      ASSERT_EQ(h.parse, Parse::kDone) << c.name << ": " << h.reason;
      EXPECT_EQ(h.length, c.header.size()) << c.name;
      EXPECT_EQ(h.keep_peer, c.source.empty()) << c.name;
      if (!c.source.empty()) {
        EXPECT_EQ(Text(h), c.source) << c.name;
      }
    }
  }
}

TEST(ProxyHeaderTest, EveryProperPrefixNeedsMore) {
  for (const auto& c : GoodCases()) {
    for (std::size_t n = 0; n < c.header.size(); ++n) {
      const ProxyHeader h = ParseProxyHeader(c.header.substr(0, n));
      EXPECT_EQ(h.parse, Parse::kNeedMore)
          << c.name << " cut after " << n << " bytes: " << h.reason;
    }
  }
}

struct BadCase {
  const char* name;
  std::string bytes;
  const char* reason;
};

TEST(ProxyHeaderTest, RefusesWhatCannotBeAHeader) {
  const std::string v4 = "PROXY TCP4 192.0.2.10 198.51.100.1 ";
  const std::vector<BadCase> cases = {
      {"a frame", kFrameStart, "geen PROXY kop"},
      {"an HTTP request", "GET / HTTP/1.0\r\n\r\n", "geen PROXY kop"},
      {"lower case", "proxy TCP4 1.2.3.4 1.2.3.5 1 2\r\n", "geen PROXY kop"},
      {"v1 without blank", "PROXYTCP4", "geen PROXY kop"},
      {"v1 unknown protocol", "PROXY TCP5 1.2.3.4 1.2.3.5 1 2\r\n",
       "onbekend protocol"},
      {"v1 empty protocol", "PROXY  TCP4 1.2.3.4 1.2.3.5 1 2\r\n",
       "onbekend protocol"},
      {"v1 missing port", v4 + "50123\r\n", "onjuist aantal velden"},
      {"v1 extra field", v4 + "50123 9200 x\r\n", "onjuist aantal velden"},
      {"v1 double blank", v4 + "50123  9200\r\n", "onjuist aantal velden"},
      {"v1 blank before CR LF", v4 + "50123 9200 \r\n",
       "onjuist aantal velden"},
      {"v1 short IPv4", "PROXY TCP4 1.2.3 1.2.3.5 1 2\r\n", "ongeldig adres"},
      {"v1 octet above 255", "PROXY TCP4 256.2.3.4 1.2.3.5 1 2\r\n",
       "ongeldig adres"},
      {"v1 IPv6 under TCP4", "PROXY TCP4 ::1 ::1 1 2\r\n", "ongeldig adres"},
      {"v1 IPv4 under TCP6", "PROXY TCP6 1.2.3.4 1.2.3.5 1 2\r\n",
       "ongeldig adres"},
      {"v1 scope id", "PROXY TCP6 fe80::1%lo ::1 1 2\r\n", "ongeldig adres"},
      {"v1 host name", "PROXY TCP4 localhost 1.2.3.5 1 2\r\n",
       "ongeldig adres"},
      {"v1 port above 65535", v4 + "65536 9200\r\n", "ongeldige poort"},
      {"v1 port with leading zero", v4 + "050123 9200\r\n", "ongeldige poort"},
      {"v1 signed port", v4 + "+5 9200\r\n", "ongeldige poort"},
      {"v1 empty port", "PROXY TCP4 1.2.3.4 1.2.3.5  2\r\n", "ongeldige poort"},
      {"v1 LF alone", "PROXY UNKNOWN\n", "ongeldig teken in de regel"},
      {"v1 CR without LF", "PROXY UNKNOWN\rX", "ongeldig teken in de regel"},
      {"v1 NUL", std::string("PROXY TCP4 1.2\0", 15),
       "ongeldig teken in de regel"},
      {"v1 byte above 0x7E", "PROXY TCP4 \xC3\xA9",
       "ongeldig teken in de regel"},
      {"v1 of 107 bytes without CR LF", "PROXY UNKNOWN " + std::string(93, 'x'),
       "regel langer dan 107 bytes"},
      {"v1 with CR LF at 108", "PROXY UNKNOWN " + std::string(92, 'x') + "\r\n",
       "regel langer dan 107 bytes"},
      {"v2 wrong signature byte",
       std::string("\r\n\r\n\0\r\nQUIX\n", 12) + "\x21\x11", "geen PROXY kop"},
      {"v2 version 1", kV2Signature + "\x11\x11" + Big16(12) + kInetBody,
       "onbekende versie of opdracht"},
      {"v2 command 2", kV2Signature + "\x22", "onbekende versie of opdracht"},
      {"v2 family 4", V2(1, 0x41, kInetBody), "onbekende adresfamilie"},
      {"v2 transport 3", V2(1, 0x13, kInetBody), "onbekende adresfamilie"},
      {"v2 IPv4 length 11", V2(1, 0x11, kInetBody, 11),
       "lengte te kort voor de adressen"},
      {"v2 IPv6 length 35", V2(1, 0x21, kInet6Body, 35),
       "lengte te kort voor de adressen"},
      {"v2 Unix length 0", V2(1, 0x31, "", 0),
       "lengte te kort voor de adressen"},
      {"v2 TLV past the end", V2(1, 0x11, kInetBody + "\x01" + Big16(5) + "h2"),
       "ongeldige TLV"},
      {"v2 TLV cut in its length",
       V2(1, 0x11, kInetBody + std::string("\x01\x00", 2)), "ongeldige TLV"},
      {"v2 IPv4 datagram", V2(1, 0x12, kInetBody), "geen TCP verbinding"},
      {"v2 IPv6 unspecified transport", V2(1, 0x20, kInet6Body),
       "geen TCP verbinding"},
  };
  for (const auto& c : cases) {
    const ProxyHeader h = ParseProxyHeader(c.bytes);
    EXPECT_EQ(h.parse, Parse::kBad) << c.name;
    EXPECT_EQ(h.reason, c.reason) << c.name;
  }
}

// A header that announces more than the client sends waits for the rest
// (the connection's deadline ends it); when frame bytes fill the announced
// length they are read as TLVs, which do not fit, and the header is refused
// rather than swallowing the frame.
TEST(ProxyHeaderTest, LengthThatLiesIsNeverDone) {
  const std::string header = V2(1, 0x11, kInetBody, 12 + 40);
  EXPECT_EQ(ParseProxyHeader(header).parse, Parse::kNeedMore);
  const std::string frame = kFrameStart + std::string(40, 'A') + "\x04";
  const ProxyHeader h = ParseProxyHeader(header + frame);
  EXPECT_EQ(h.parse, Parse::kBad);
  EXPECT_EQ(h.reason, "ongeldige TLV");
}

TEST(ProxyHeaderTest, WarningTextsNameThePeerAndTheReason) {
  EXPECT_EQ(
      ProxyHeaderRefusedText("10.0.0.9:40000", "ongeldig adres"),
      "Ontvanger: PROXY kop van 10.0.0.9:40000 ongeldig (ongeldig adres); "
      "verbinding verbroken");
  EXPECT_EQ(ProxyHeaderLateText("10.0.0.9:40000"),
            "Ontvanger: PROXY kop van 10.0.0.9:40000 niet binnen 5 seconden "
            "ontvangen; verbinding verbroken");
}

}  // namespace
}  // namespace kvx
