#include "core/codepage.h"

#include <array>
#include <cstdint>

namespace kvx {
namespace {

// Code points of the bytes 0x80 to 0x9F; the rest equal their byte.
constexpr std::array<char32_t, 32> kHigh = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

}  // namespace

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

char32_t Cp1252ToCodePoint(unsigned char byte) {
  if (byte >= 0x80 && byte < 0xA0) return kHigh[byte - 0x80];
  return byte;
}

char CodePointToCp1252(char32_t cp) {
  if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<char>(cp);
  for (std::size_t i = 0; i < kHigh.size(); ++i) {
    if (kHigh[i] == cp) return static_cast<char>(0x80 + i);
  }
  return '?';
}

std::string Cp1252ToUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  std::size_t i = 0;
  while (i < text.size()) {
    // Runs of US-ASCII, by far the most of every text, are copied whole.
    std::size_t end = i;
    while (end < text.size() && static_cast<unsigned char>(text[end]) < 0x80) {
      ++end;
    }
    out.append(text.substr(i, end - i));
    if (end == text.size()) break;
    AppendUtf8(out, Cp1252ToCodePoint(static_cast<unsigned char>(text[end])));
    i = end + 1;
  }
  return out;
}

std::string Utf8ToCp1252(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  std::size_t i = 0;
  while (i < utf8.size()) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    const int extra = lead < 0x80                   ? 0
                      : lead >= 0xC2 && lead < 0xE0 ? 1
                      : lead >= 0xE0 && lead < 0xF0 ? 2
                      : lead >= 0xF0 && lead < 0xF5 ? 3
                                                    : -1;
    char32_t cp = extra <= 0 ? lead : lead & (0x3F >> extra);
    bool ok = extra >= 0 && i + extra < utf8.size();
    for (int k = 1; ok && k <= extra; ++k) {
      const auto cont = static_cast<unsigned char>(utf8[i + k]);
      ok = (cont & 0xC0) == 0x80;
      cp = (cp << 6) | (cont & 0x3F);
    }
    if (!ok) {
      out += '?';
      ++i;
      continue;
    }
    out += CodePointToCp1252(cp);
    i += extra + 1;
  }
  return out;
}

std::string Utf16ToCp1252(std::string_view bytes, bool big_endian) {
  std::string out;
  out.reserve(bytes.size() / 2);
  auto unit = [&](std::size_t i) -> char32_t {
    const auto a = static_cast<unsigned char>(bytes[i]);
    const auto b = static_cast<unsigned char>(bytes[i + 1]);
    return big_endian ? (a << 8) | b : (b << 8) | a;
  };
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const char32_t u = unit(i);
    if (u >= 0xD800 && u < 0xDC00 && i + 3 < bytes.size()) {
      const char32_t low = unit(i + 2);
      if (low >= 0xDC00 && low < 0xE000) {
        out += '?';  // outside the Basic Multilingual Plane: never in 1252
        i += 2;
        continue;
      }
    }
    out += (u >= 0xD800 && u < 0xE000) ? '?' : CodePointToCp1252(u);
  }
  return out;
}

std::string ToUsAscii(std::string_view bytes) {
  std::string out(bytes);
  for (char& c : out) {
    if (static_cast<unsigned char>(c) >= 0x80) c = '?';
  }
  return out;
}

std::string DecodeFileText(std::string_view bytes) {
  if (bytes.starts_with("\xFF\xFE"))
    return Utf16ToCp1252(bytes.substr(2), false);
  if (bytes.starts_with("\xFE\xFF"))
    return Utf16ToCp1252(bytes.substr(2), true);
  if (bytes.starts_with("\xEF\xBB\xBF")) return Utf8ToCp1252(bytes.substr(3));
  return std::string(bytes);
}

}  // namespace kvx
