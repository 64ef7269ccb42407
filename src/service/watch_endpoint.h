// The HTTP endpoint of the module: /metrics, /health and the status page,
// filled from the module's counters and components.
#ifndef KVX_SERVICE_WATCH_ENDPOINT_H_
#define KVX_SERVICE_WATCH_ENDPOINT_H_

#include <chrono>
#include <cstdint>
#include <string>

#include "observability/http_endpoint.h"
#include "observability/status_page.h"

namespace kvx {

class Clock;
class DiskHousekeeping;
class EventLog;
class EventRecorder;
class LineList;
class TCPServer;
struct Metrics;
struct Settings;

// The address the endpoint listens on when MetricsBinding is absent.
inline constexpr char kDefaultMetricsBinding[] = "127.0.0.1";

// What the pages are made of; everything must outlive the endpoint and be
// safe to read from the HTTP threads.
struct WatchSources {
  Metrics& metrics;
  EventRecorder& recorder;
  TCPServer& server;
  const Settings& settings;  // read-only once the endpoint starts
  const Clock& clock;
  EventLog& events;
  // The free-space mark of the archive and log directories (MinFreeDiskMB).
  const DiskHousekeeping& housekeeping;
};

// Owned by the module. Start and Stop run on the service thread; the pages
// are made on the HTTP server's threads.
class WatchEndpoint {
 public:
  explicit WatchEndpoint(const WatchSources& sources);
  WatchEndpoint(const WatchEndpoint&) = delete;
  WatchEndpoint& operator=(const WatchEndpoint&) = delete;

  // Reads MetricsBinding and MetricsPort (number rule) and, when the port is
  // 1 or more, starts listening: an information entry when it listens, an
  // error entry when it cannot (the service runs on without it). Port and
  // Binding describe the message listener on the page.
  void Start(const LineList& config);
  void Stop() { endpoint_.Stop(); }
  std::uint16_t Port() const { return endpoint_.Port(); }

  HttpReply MetricsPage() const;
  HttpReply HealthPage() const;
  HttpReply StatusPage() const;

 private:
  bool DatabaseConfigured() const;
  std::vector<PageEntry> Entries() const;

  WatchSources sources_;
  const std::string version_;
  const double start_time_seconds_;  // since the Unix epoch
  const std::chrono::steady_clock::time_point started_;
  // Written by Start before the endpoint listens, then read-only.
  bool listener_configured_ = false;
  std::string tcp_binding_ = "off";
  std::string metrics_binding_;
  HttpEndpoint endpoint_;  // last: stopped first, while the rest still lives
};

}  // namespace kvx

#endif  // KVX_SERVICE_WATCH_ENDPOINT_H_
