// How the operator tools show bytes and texts: hexadecimal, JSON strings,
// printable lines and arrival times.
#ifndef KVX_TOOLS_TEXT_OUTPUT_H_
#define KVX_TOOLS_TEXT_OUTPUT_H_

#include <string>
#include <string_view>

#include "platform/clock.h"

namespace kvx {

// "01 38 02": two upper-case hex digits per byte, separated by blanks.
std::string HexBytes(std::string_view bytes);

// A Windows-1252 text as a JSON string literal with its double quotes:
// converted to UTF-8; '"', '\\' and every control character escaped.
std::string JsonString(std::string_view cp1252);

// A Windows-1252 text for one line of a terminal: converted to UTF-8, each
// control character (below 0x20 and 0x7F) shown as "\xNN" and a backslash
// as "\\", so no received byte can move the cursor or end the line.
std::string PrintableText(std::string_view cp1252);

// "2026-01-31T14:03:07.123" (`t_separator` 'T') or with a blank.
std::string FormatTime(const LocalTime& t, char t_separator);

}  // namespace kvx

#endif  // KVX_TOOLS_TEXT_OUTPUT_H_
