// The configuration file: the tag reader and the number rule of its
// settings. (The working tree and the template are prepared in
// service/working_tree.h.)
#ifndef KVX_CORE_CONFIG_H_
#define KVX_CORE_CONFIG_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "core/line_list.h"
#include "core/settings.h"

namespace kvx {

// The text between the first "<tag>" and the first "</tag>" of the list's
// joined text; empty when either is missing or the closing pattern does not
// come after the value's start. No XML parsing: exact, case-sensitive search.
std::string ReadXMLTag(const LineList& list, std::string_view tag);
// The same on a list's joined text, without building the list.
std::string ReadXMLTagText(std::string_view text, std::string_view tag);

// The number rule of numeric settings and of the frame's length field:
// leading blanks, an optional sign (applied only when the whole text was
// read), decimal or "$"/"x"/"0x" hexadecimal digits up to the first other
// character, with the overflow stops of a 32-bit reader.
std::int32_t NumberRule(std::string_view text);

// The optional elements of the archive and its disk (ArchiveSync,
// MinFreeDiskMB, ArchiveRetentionDays, LogRetentionDays, TrafficLogDaily)
// into `settings`. An element that is missing or empty keeps the field's
// default; switches count only when exactly "True", numbers follow the
// number rule, and retention below 1 day keeps everything.
void ReadDiskSettings(const LineList& config, Settings& settings);

}  // namespace kvx

#endif  // KVX_CORE_CONFIG_H_
