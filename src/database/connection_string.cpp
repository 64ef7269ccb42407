#include "database/connection_string.h"

#include <algorithm>
#include <cctype>

namespace kvx {
namespace {

constexpr std::string_view kDefaultPort = "1433";

std::string_view Trim(std::string_view text) {
  const auto first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(' ');
  return text.substr(first, last - first + 1);
}

std::string Lower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  });
  return lower;
}

// {value} by the ODBC rule ("}" doubled), or for FreeTDS undoubled.
std::optional<std::string> Braced(std::string_view value, bool free_tds) {
  std::string out = "{";
  for (char c : value) {
    out += c;
    if (c == '}' && !free_tds) out += '}';
  }
  if (free_tds && value.find("};") != std::string_view::npos) {
    return std::nullopt;
  }
  out += '}';
  return out;
}

}  // namespace

bool IsFreeTds(std::string_view driver) {
  const std::string lower = Lower(driver);
  return lower.find("freetds") != std::string::npos ||
         lower.find("tdsodbc") != std::string::npos;
}

std::string ServerAddress(std::string_view data_source) {
  std::string_view text = Trim(data_source);
  if (Lower(text.substr(0, 4)) == "tcp:") text = Trim(text.substr(4));
  const auto comma = text.find(',');
  std::string_view host = Trim(text.substr(0, comma));
  if (comma == std::string_view::npos) {
    if (host.empty() || host.find('\\') != std::string_view::npos) {
      return std::string(host);
    }
    return std::string(host) + "," + std::string(kDefaultPort);
  }
  const std::string_view port = Trim(text.substr(comma + 1));
  host = host.substr(0, host.find('\\'));
  return std::string(host) + "," + std::string(port);
}

std::optional<std::string> BuildConnectionString(const Settings& settings,
                                                 std::string_view driver) {
  const bool free_tds = IsFreeTds(driver);
  const std::pair<std::string_view, std::string> kParts[] = {
      {"DRIVER", std::string(driver)},
      {"SERVER", ServerAddress(settings.FSQLServer)},
      {"DATABASE", settings.FSQLDatabase},
      {"UID", settings.FSQLInlognaam},
      {"PWD", settings.FSQLPaswoord}};
  std::string out;
  for (const auto& [key, value] : kParts) {
    const std::optional<std::string> braced = Braced(value, free_tds);
    if (!braced) return std::nullopt;
    out += std::string(key) + "=" + *braced + ";";
  }
  if (free_tds) out += "TDS_Version=7.4;";
  return out;
}

}  // namespace kvx
