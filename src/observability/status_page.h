// The status page of "/": one HTML document for a person, without scripts
// or external assets, that reloads itself every 10 seconds.
#ifndef KVX_OBSERVABILITY_STATUS_PAGE_H_
#define KVX_OBSERVABILITY_STATUS_PAGE_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/event_sink.h"

namespace kvx {

struct PageEntry {
  std::string time;  // as shown, e.g. "2026-01-31 14:03:07"
  EventType type;
  std::string text;  // Windows-1252, as written to the event log
  bool cut = false;  // only the start of the text was kept
};

// Texts are Windows-1252 (settings and entries as the service holds them).
struct StatusPageInputs {
  bool paused = false;
  std::string version;
  std::int64_t uptime_seconds = 0;
  std::string tcp_binding;      // e.g. "127.0.0.1 port 9200", or "off"
  std::string metrics_binding;  // the address and port of this page
  std::int64_t connections_open = 0;
  std::uint64_t frames_last_minute = 0;
  std::uint64_t frames_total = 0;
  int archive_counter = 0;
  std::optional<std::uint64_t> archive_free_bytes;
  bool database_configured = false;
  bool database_linked = false;
  std::vector<PageEntry> entries;  // newest first
};

inline constexpr int kPageRefreshSeconds = 10;

// The page as UTF-8. Every text from outside (bindings, entry texts, which
// hold message contents and client addresses) is converted to UTF-8 and
// escaped, so that it shows as text and never as markup.
std::string RenderStatusPage(const StatusPageInputs& in);

// `utf8` with & < > " ' as character references and control characters
// other than tab, line feed and carriage return as U+FFFD.
std::string HtmlEscape(std::string_view utf8);

// "3 d 04:05:06" style: days when there are any, then hh:mm:ss.
std::string FormatUptime(std::int64_t seconds);

}  // namespace kvx

#endif  // KVX_OBSERVABILITY_STATUS_PAGE_H_
