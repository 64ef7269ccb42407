#include "service/watch_endpoint.h"

#include <cstdio>

#include "core/config.h"
#include "core/event_log.h"
#include "core/line_list.h"
#include "core/settings.h"
#include "observability/event_recorder.h"
#include "observability/health.h"
#include "observability/metrics.h"
#include "observability/prometheus_text.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/process_stats.h"
#include "server/tcp_server.h"
#include "service/disk_housekeeping.h"
#include "status/computer_pakket.h"

namespace kvx {
namespace {

// Operator texts of the endpoint, in the style of the listener's.
constexpr char kWatchStarted[] =
    "Kavero TCP/IP metrics werd met succes gestart op ";
constexpr char kWatchFailed[] = "Kavero TCP/IP metrics kon niet starten op ";
constexpr char kOnPort[] = " op poort ";

std::string PortText(std::int32_t port) {
  return std::to_string(port & 0xFFFF);
}

std::string Shown(const LocalTime& t) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", t.year,
                t.month, t.day, t.hour, t.minute, t.second);
  return buf;
}

double EpochSeconds() {
  return std::chrono::duration<double>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

WatchEndpoint::WatchEndpoint(const WatchSources& sources)
    : sources_(sources),
      version_(GetVersionString()),
      start_time_seconds_(EpochSeconds()),
      started_(std::chrono::steady_clock::now()),
      endpoint_(HttpPages{[this] { return MetricsPage(); },
                          [this] { return HealthPage(); },
                          [this] { return StatusPage(); }}) {}

void WatchEndpoint::Start(const LineList& config) {
  const std::int32_t tcp_port = NumberRule(ReadXMLTag(config, "Port"));
  listener_configured_ = tcp_port >= 1;
  if (listener_configured_) {
    tcp_binding_ = ReadXMLTag(config, "Binding") + kOnPort + PortText(tcp_port);
  }
  const std::int32_t port = NumberRule(ReadXMLTag(config, "MetricsPort"));
  if (port < 1) return;
  std::string address = ReadXMLTag(config, "MetricsBinding");
  if (address.empty()) address = kDefaultMetricsBinding;
  metrics_binding_ = address + kOnPort + PortText(port);
  try {
    endpoint_.Start(address, static_cast<std::uint16_t>(port & 0xFFFF));
    sources_.events.WriteEventLog(kWatchStarted + metrics_binding_,
                                  EventType::kInformation);
  } catch (const std::exception& e) {
    sources_.events.WriteEventLog(
        kWatchFailed + metrics_binding_ + ": " + e.what(), EventType::kError);
  }
}

bool WatchEndpoint::DatabaseConfigured() const {
  const Settings& s = sources_.settings;
  return !s.FSQLServer.empty() && !s.FSQLDatabase.empty() &&
         !s.FSQLInlognaam.empty() && !s.FSQLPaswoord.empty();
}

HttpReply WatchEndpoint::MetricsPage() const {
  ProcessFacts facts;
  facts.start_time_seconds = start_time_seconds_;
  facts.version = version_;
  facts.resident_bytes = ResidentBytes();
  facts.open_fds = OpenFileDescriptors();
  facts.archive_free_bytes = FreeBytes(sources_.settings.FOutputDirectory);
  return HttpReply{200, std::string(kPrometheusContentType),
                   RenderPrometheus(sources_.metrics, facts)};
}

HttpReply WatchEndpoint::HealthPage() const {
  const Metrics& m = sources_.metrics;
  HealthInputs in;
  in.paused = m.paused.Value() != 0;
  in.listener_configured = listener_configured_;
  in.listener_active = sources_.server.Active();
  in.archive_last_write_ok = m.archive_last_write_ok.Value() != 0;
  in.archive_queue = m.archive_queue.Value();
  in.archive_free_bytes = FreeBytes(sources_.settings.FOutputDirectory);
  if (sources_.settings.FMinFreeDiskMB > 0) {
    in.below_free_space_mark = sources_.housekeeping.BelowMark();
  }
  in.database_configured = DatabaseConfigured();
  in.database_linked = m.database_linked.Value() != 0;
  HealthReport report = EvaluateHealth(in);
  return HttpReply{report.http_status, "application/json",
                   std::move(report.json)};
}

std::vector<PageEntry> WatchEndpoint::Entries() const {
  std::vector<PageEntry> entries;
  for (RecentEntry& e : sources_.recorder.Recent()) {
    entries.push_back(
        PageEntry{Shown(e.time), e.type, std::move(e.text), e.cut});
  }
  return entries;
}

HttpReply WatchEndpoint::StatusPage() const {
  const Metrics& m = sources_.metrics;
  StatusPageInputs in;
  in.paused = m.paused.Value() != 0;
  in.version = version_;
  const auto now = std::chrono::steady_clock::now();
  in.uptime_seconds =
      std::chrono::duration_cast<std::chrono::seconds>(now - started_).count();
  in.tcp_binding = tcp_binding_;
  in.metrics_binding = metrics_binding_;
  in.connections_open = m.connections_open.Value();
  in.frames_last_minute = m.replies_last_minute.Sum(
      std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch())
          .count());
  in.frames_total =
      m.replies_inf.Value() + m.replies_ack.Value() + m.replies_nak.Value();
  in.archive_counter = sources_.server.FileCounter();
  in.archive_free_bytes = FreeBytes(sources_.settings.FOutputDirectory);
  in.database_configured = DatabaseConfigured();
  in.database_linked = m.database_linked.Value() != 0;
  in.entries = Entries();
  return HttpReply{200, "text/html; charset=utf-8", RenderStatusPage(in)};
}

}  // namespace kvx
