#include "core/config.h"

namespace kvx {

std::string ReadXMLTag(const LineList& list, std::string_view tag) {
  return ReadXMLTagText(list.Text(), tag);
}

std::string ReadXMLTagText(std::string_view text, std::string_view tag) {
  const std::string open = "<" + std::string(tag) + ">";
  const std::string close = "</" + std::string(tag) + ">";
  const std::size_t open_at = text.find(open);
  const std::size_t close_at = text.find(close);
  if (open_at == std::string::npos || close_at == std::string::npos) return {};
  const std::size_t value_at = open_at + open.size();
  if (close_at <= value_at) return {};
  return std::string(text.substr(value_at, close_at - value_at));
}

std::int32_t NumberRule(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
    negative = text[i] == '-';
    ++i;
  }
  bool hex = false;
  if (i < text.size() && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
    hex = true;
    ++i;
  } else if (i + 1 < text.size() && text[i] == '0' &&
             (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  std::uint32_t value = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (hex && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (hex && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      break;
    }
    if (hex ? value > 0x0FFFFFFFu : value > 214748364u) break;
    value = hex ? value * 16 + digit : value * 10 + digit;
  }
  if (i == text.size() && negative) value = 0u - value;
  return static_cast<std::int32_t>(value);
}

void ReadDiskSettings(const LineList& config, Settings& settings) {
  const auto number = [&config](std::string_view tag, std::int32_t absent) {
    const std::string text = ReadXMLTag(config, tag);
    return text.empty() ? absent : NumberRule(text);
  };
  const auto days = [&number](std::string_view tag) {
    const std::int32_t n = number(tag, 0);
    return n < 1 ? 0 : n;
  };
  settings.FArchiveSync = ReadXMLTag(config, "ArchiveSync") == "True";
  settings.FMinFreeDiskMB = number("MinFreeDiskMB", 1024);
  settings.FArchiveRetentionDays = days("ArchiveRetentionDays");
  settings.FLogRetentionDays = days("LogRetentionDays");
  settings.FTrafficLogDaily = ReadXMLTag(config, "TrafficLogDaily") == "True";
}

}  // namespace kvx
