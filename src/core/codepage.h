// Conversions between the program's texts (Windows-1252 byte strings) and the
// encodings met at its boundaries: UTF-8, UTF-16 and US-ASCII.
#ifndef KVX_CORE_CODEPAGE_H_
#define KVX_CORE_CODEPAGE_H_

#include <string>
#include <string_view>

namespace kvx {

// Every byte has a code point: the five bytes Windows-1252 leaves undefined
// (0x81, 0x8D, 0x8F, 0x90, 0x9D) map to the control characters of the same
// code, so any byte string survives a round trip.
char32_t Cp1252ToCodePoint(unsigned char byte);

// The Windows-1252 byte of a code point, or '?' when it has none.
char CodePointToCp1252(char32_t code_point);

// Appends the UTF-8 bytes of `code_point`. REQUIRES: code_point <= 0x10FFFF
// (a surrogate is encoded as it is, in three bytes).
void AppendUtf8(std::string& out, char32_t code_point);

std::string Cp1252ToUtf8(std::string_view text);
// Malformed UTF-8 and characters outside Windows-1252 become '?'.
std::string Utf8ToCp1252(std::string_view utf8);
// UTF-16 code units, little- or big-endian bytes; unpaired surrogates and
// characters outside Windows-1252 become '?'. A trailing odd byte is dropped.
std::string Utf16ToCp1252(std::string_view bytes, bool big_endian);

// US-ASCII conversion of the datagram payload and the traffic log: bytes
// 0x00 to 0x7F pass unchanged, every other byte becomes '?'.
std::string ToUsAscii(std::string_view bytes);

// Decodes a file's bytes by its byte-order mark (FF FE UTF-16LE, FE FF
// UTF-16BE, EF BB BF UTF-8; the mark is skipped), or as Windows-1252 when
// there is none.
std::string DecodeFileText(std::string_view bytes);

}  // namespace kvx

#endif  // KVX_CORE_CODEPAGE_H_
