#include "tools/text_output.h"

#include <cstdio>

#include "core/codepage.h"

namespace kvx {

namespace {

constexpr char kHex[] = "0123456789ABCDEF";

void AppendHexByte(std::string& out, unsigned char byte) {
  out += kHex[byte >> 4];
  out += kHex[byte & 0x0F];
}

}  // namespace

std::string HexBytes(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() * 3);
  for (char c : bytes) {
    if (!out.empty()) out += ' ';
    AppendHexByte(out, static_cast<unsigned char>(c));
  }
  return out;
}

std::string JsonString(std::string_view cp1252) {
  std::string out = "\"";
  for (char c : Cp1252ToUtf8(cp1252)) {
    auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte == 0x7F) {
      out += "\\u00";
      AppendHexByte(out, byte);
    } else {
      out += c;
    }
  }
  out += '"';
  return out;
}

std::string PrintableText(std::string_view cp1252) {
  std::string out;
  for (char c : Cp1252ToUtf8(cp1252)) {
    auto byte = static_cast<unsigned char>(c);
    if (c == '\\') {
      out += "\\\\";
    } else if (byte < 0x20 || byte == 0x7F) {
      out += "\\x";
      AppendHexByte(out, byte);
    } else {
      out += c;
    }
  }
  return out;
}

std::string FormatTime(const LocalTime& t, char t_separator) {
  char text[40];
  std::snprintf(text, sizeof(text), "%04d-%02d-%02d%c%02d:%02d:%02d.%03d",
                t.year, t.month, t.day, t_separator, t.hour, t.minute, t.second,
                t.millisecond);
  return text;
}

}  // namespace kvx
