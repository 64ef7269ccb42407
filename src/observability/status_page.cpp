#include "observability/status_page.h"

#include <cstdio>

#include "core/codepage.h"

namespace kvx {
namespace {

constexpr std::string_view kStyle =
    "body{font-family:sans-serif;margin:1.5em;color:#222}"
    "table{border-collapse:collapse;margin-bottom:1.5em}"
    "th,td{border:1px solid #ccc;padding:.25em .6em;text-align:left;"
    "vertical-align:top}"
    "th{background:#f0f0f0}"
    "td.text{white-space:pre-wrap;font-family:monospace}"
    ".error{color:#a00}.warning{color:#a60}";

std::string Text(std::string_view cp1252) {
  return HtmlEscape(Cp1252ToUtf8(cp1252));
}

std::string Bytes(std::optional<std::uint64_t> n) {
  if (!n) return "unknown";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.1f MiB",
                static_cast<double>(*n) / (1024.0 * 1024.0));
  return buf;
}

const char* TypeWord(EventType type) {
  switch (type) {
    case EventType::kError:
      return "error";
    case EventType::kWarning:
      return "warning";
    case EventType::kInformation:
      break;
  }
  return "information";
}

void Row(std::string& out, std::string_view name, std::string_view value_html) {
  out.append("<tr><th>").append(name).append("</th><td>");
  out.append(value_html).append("</td></tr>\n");
}

std::string Database(const StatusPageInputs& in) {
  if (!in.database_configured) return "not configured";
  return in.database_linked ? "linked" : "not linked";
}

void Summary(std::string& out, const StatusPageInputs& in) {
  out += "<table>\n";
  Row(out, "State", in.paused ? "paused" : "running");
  Row(out, "Version", Text(in.version));
  Row(out, "Uptime", FormatUptime(in.uptime_seconds));
  Row(out, "Listener", Text(in.tcp_binding));
  Row(out, "This page", Text(in.metrics_binding));
  Row(out, "Connections now", std::to_string(in.connections_open));
  Row(out, "Frames in the last minute", std::to_string(in.frames_last_minute));
  Row(out, "Frames since start", std::to_string(in.frames_total));
  Row(out, "Archive counter", std::to_string(in.archive_counter));
  Row(out, "Archive free disk", Bytes(in.archive_free_bytes));
  Row(out, "Database", Database(in));
  out += "</table>\n";
}

void Entries(std::string& out, const StatusPageInputs& in) {
  out += "<h2>Latest event-log entries</h2>\n<table>\n";
  out += "<tr><th>Time</th><th>Type</th><th>Text</th></tr>\n";
  for (const PageEntry& e : in.entries) {
    const char* word = TypeWord(e.type);
    out.append("<tr class=\"").append(word).append("\"><td>");
    out.append(HtmlEscape(e.time)).append("</td><td>").append(word);
    out.append("</td><td class=\"text\">").append(Text(e.text));
    if (e.cut) out += " \xE2\x80\xA6";  // an ellipsis: the rest was cut
    out += "</td></tr>\n";
  }
  out += "</table>\n";
}

}  // namespace

std::string RenderStatusPage(const StatusPageInputs& in) {
  std::string out =
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      "<meta http-equiv=\"refresh\" content=\"" +
      std::to_string(kPageRefreshSeconds) +
      "\">\n<title>Kavero TCP Server</title>\n<style>";
  out.append(kStyle).append("</style>\n</head>\n<body>\n");
  out += "<h1>Kavero TCP Server</h1>\n";
  Summary(out, in);
  Entries(out, in);
  out += "</body>\n</html>\n";
  return out;
}

std::string HtmlEscape(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (const char c : utf8) {
    const auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        if ((u < 0x20 && c != '\t' && c != '\n' && c != '\r') || u == 0x7F) {
          out += "\xEF\xBF\xBD";
        } else {
          out += c;
        }
    }
  }
  return out;
}

std::string FormatUptime(std::int64_t seconds) {
  if (seconds < 0) seconds = 0;
  const std::int64_t days = seconds / 86400;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d",
                static_cast<int>(seconds % 86400 / 3600),
                static_cast<int>(seconds % 3600 / 60),
                static_cast<int>(seconds % 60));
  return days > 0 ? std::to_string(days) + " d " + buf : std::string(buf);
}

}  // namespace kvx
