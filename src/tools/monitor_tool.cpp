#include "tools/monitor_tool.h"

#include "core/codepage.h"
#include "core/config.h"
#include "platform/line_list_file.h"
#include "platform/udp_receiver.h"
#include "status/status_record.h"
#include "tools/arguments.h"
#include "tools/text_output.h"

namespace kvx {

const char kMonitorHelp[] =
    R"(Usage: kvx-monitor [OPTION]...
Receives the status datagrams of Kavero TCP servers, deciphers them and
prints one line per datagram: arrival time, sender, status code and meaning,
the sender's time stamp, computer name, TOSID and the host record.

  -b, --bind ADDRESS     local IPv4 address to listen on (default 0.0.0.0)
  -p, --port PORT        UDP port (default 54200)
  -k, --key KEY          cipher key (default Morvek, the configuration
                         template's key)
  -c, --config FILE      take the key from the <Key> setting of this
                         KvxTCPConfig.xml
  -j, --json             print one JSON object per line
  -n, --count N          end after N datagrams
  -t, --timeout SECONDS  end after SECONDS
  -h, --help             print this text and end

Status codes: 3000 start or continue, 3001 shutdown, 3002 pause,
3003 heartbeat. A datagram that does not decipher with the key is printed
as "unrecognised datagram: <hex bytes>".

Exit status: 0 when N datagrams arrived (or, without --count, when the
timeout ended the run); 1 when the timeout came before N datagrams or the
socket failed; 64 for a command-line error.
)";

MonitorOptions ParseMonitorArguments(const std::vector<std::string>& args) {
  MonitorOptions o;
  ArgumentReader reader(args);
  std::string name;
  while (!reader.Done()) {
    if (!reader.Next(name)) {
      throw UsageError("unexpected argument: " + name);
    }
    if (name.empty()) continue;
    if (name == "-h" || name == "--help") {
      reader.NoValue(name);
      o.help = true;
    } else if (name == "-b" || name == "--bind") {
      std::string address = reader.Value(name);
      std::optional<std::uint32_t> parsed = ParseIpv4Address(address);
      if (!parsed) {
        throw UsageError("option " + name +
                         ": not a numeric IPv4 address: " + address);
      }
      o.bind.address = *parsed;
    } else if (name == "-p" || name == "--port") {
      o.bind.port = ParsePort(reader.Value(name), name);
    } else if (name == "-k" || name == "--key") {
      o.key = Utf8ToCp1252(reader.Value(name));
    } else if (name == "-c" || name == "--config") {
      o.config = reader.Value(name);
    } else if (name == "-j" || name == "--json") {
      reader.NoValue(name);
      o.json = true;
    } else if (name == "-n" || name == "--count") {
      o.count = ParseCount(reader.Value(name), name);
    } else if (name == "-t" || name == "--timeout") {
      o.timeout = ParseSeconds(reader.Value(name), name);
    } else {
      throw UsageError("unknown option: " + name);
    }
  }
  if (o.key && o.config) {
    throw UsageError("give either --key or --config, not both");
  }
  return o;
}

std::string MonitorKey(const MonitorOptions& options, FileSystem& files) {
  if (options.key) return *options.key;
  if (options.config) {
    // Paths inside the program are Windows-1252 texts.
    return ReadXMLTag(LoadLineList(files, Utf8ToCp1252(*options.config)),
                      "Key");
  }
  return kTemplateKey;
}

std::string FormatDatagramLine(const LocalTime& arrival,
                               const Ipv4Endpoint& from,
                               std::string_view payload, std::string_view key) {
  std::string line =
      FormatTime(arrival, ' ') + " " + FormatEndpoint(from) + " ";
  std::optional<StatusFields> f = ParseStatusDatagram(payload, key);
  if (!f) return line + "unrecognised datagram: " + HexBytes(payload);
  const HostRecord& r = f->record;
  auto kib = [](std::uint64_t v) { return std::to_string(v) + " KiB"; };
  line += std::to_string(f->code) + " " +
          std::string(StatusCodeMeaning(f->code)) + "; stamp " + f->stamp +
          "; computer " + PrintableText(f->computer_name) + "; TOSID " +
          PrintableText(f->tosid) + "; virtual total " + kib(r.mem_virt_total) +
          ", free " + kib(r.mem_virt_free) + "; physical total " +
          kib(r.mem_phys_total) + ", free " + kib(r.mem_phys_free) + "; OS " +
          PrintableText(r.os_version) + "; load " +
          std::to_string(r.memory_load) + " %; record " +
          PrintableText(r.record_version) + "; program version " +
          PrintableText(r.program_version) + "; final " +
          PrintableText(r.final_field);
  return line;
}

std::string FormatDatagramJson(const LocalTime& arrival,
                               const Ipv4Endpoint& from,
                               std::string_view payload, std::string_view key) {
  std::string json = "{\"time\":" + JsonString(FormatTime(arrival, 'T')) +
                     ",\"from\":" + JsonString(FormatEndpoint(from));
  std::optional<StatusFields> f = ParseStatusDatagram(payload, key);
  if (!f) {
    return json + ",\"unrecognised\":" + JsonString(HexBytes(payload)) + "}";
  }
  const HostRecord& r = f->record;
  auto number = [](std::string_view name, std::uint64_t v) {
    return ",\"" + std::string(name) + "\":" + std::to_string(v);
  };
  auto text = [](std::string_view name, std::string_view v) {
    return ",\"" + std::string(name) + "\":" + JsonString(v);
  };
  json += number("code", static_cast<std::uint64_t>(f->code)) +
          text("meaning", StatusCodeMeaning(f->code)) +
          text("stamp", f->stamp) + text("computer", f->computer_name) +
          text("tosid", f->tosid) +
          number("mem_virt_total_kib", r.mem_virt_total) +
          number("mem_virt_free_kib", r.mem_virt_free) +
          number("mem_phys_total_kib", r.mem_phys_total) +
          number("mem_phys_free_kib", r.mem_phys_free) +
          text("os_version", r.os_version) +
          number("memory_load_percent", r.memory_load) +
          text("record_version", r.record_version) +
          text("program_version", r.program_version) +
          text("final", r.final_field) + "}";
  return json;
}

}  // namespace kvx
