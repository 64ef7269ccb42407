// kvx-monitor: the options and the output of the status datagram monitor.
#ifndef KVX_TOOLS_MONITOR_TOOL_H_
#define KVX_TOOLS_MONITOR_TOOL_H_

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "platform/udp_broadcaster.h"

namespace kvx {

class FileSystem;

// The key of the configuration template.
inline constexpr char kTemplateKey[] = "Morvek";
inline constexpr std::uint16_t kStatusPort = 54200;

struct MonitorOptions {
  Ipv4Endpoint bind{0, kStatusPort};  // 0.0.0.0:54200
  std::optional<std::string> key;     // --key, Windows-1252
  std::optional<std::string> config;  // --config path (UTF-8)
  bool json = false;
  int count = 0;  // 0: no limit
  std::optional<std::chrono::milliseconds> timeout;
  bool help = false;
};

extern const char kMonitorHelp[];

// Throws UsageError. --key and --config together are refused.
MonitorOptions ParseMonitorArguments(const std::vector<std::string>& args);

// The key to decipher with: --key, else the <Key> setting of the --config
// file (read as the service reads its configuration; empty when missing),
// else the template's key. Throws KvxError when the file cannot be read.
std::string MonitorKey(const MonitorOptions& options, FileSystem& files);

// One output line (without line end) for a received datagram: the
// deciphered fields, or "unrecognised datagram: <hex>" when the payload does
// not decipher into a status datagram with `key`.
std::string FormatDatagramLine(const LocalTime& arrival,
                               const Ipv4Endpoint& from,
                               std::string_view payload, std::string_view key);
// The same as one JSON object.
std::string FormatDatagramJson(const LocalTime& arrival,
                               const Ipv4Endpoint& from,
                               std::string_view payload, std::string_view key);

}  // namespace kvx

#endif  // KVX_TOOLS_MONITOR_TOOL_H_
