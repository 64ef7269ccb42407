// kvx_bench: load generator and resource probe for KvxTCPServer. Sends framed
// messages on C connections (M frames each, up to P outstanding), checks every
// reply, and prints frames per second and latency; holds idle connections
// open and reads the service's CPU time and resident memory meanwhile; and
// measures the archive-file limit of this machine for comparison.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <thread>

#include "core/frame.h"
#include "load_client.h"
#include "process_probe.h"
#include "tls_load.h"

namespace kvx::bench {
namespace {

struct Options {
  Target target;
  LoadOptions load;
  int idle = 0;
  int idle_seconds = 10;
  pid_t pid = -1;
  std::string archive_dir;
  int archive_frames = 5000;
  bool archive_keep = false;
  std::string label = "run";
  bool tls = false;
  TlsClientOptions tls_options;
};

constexpr char kUsage[] =
    "usage: kvx_bench [options]\n"
    "  --host A --port N        the service (127.0.0.1:9200)\n"
    "  --connections C          load connections (1; 0: no load)\n"
    "  --frames M               frames per connection (1000)\n"
    "  --pipeline P             outstanding frames per connection (1)\n"
    "  --type T                 message type (COM)\n"
    "  --timeout S              give up on replies after S seconds (120)\n"
    "  --idle I --seconds S     hold I idle connections for S seconds (10)\n"
    "  --sources K              spread connections over 127.0.0.1..K (1)\n"
    "  --pid PID                the service process (default: found by name)\n"
    "  --archive-dir D          measure the archive-file limit in D\n"
    "  --archive-frames N       frames of that measurement (5000)\n"
    "  --archive-keep 1         leave its files (the caller removes them)\n"
    "  --label L                scenario name on the RESULT line\n"
    "  --tls 1                  the load speaks TLS, a thread per connection\n"
    "  --ca F --cert F --key F  PEM CA of the service; client certificate\n";

bool Parse(int argc, char** argv, Options& o) {
  using Setter = std::function<void(const std::string&, int)>;
  const std::map<std::string, Setter> setters = {
      {"--host", [&](const std::string& v, int) { o.target.host = v; }},
      {"--port",
       [&](auto&, int n) { o.target.port = static_cast<std::uint16_t>(n); }},
      {"--connections", [&](auto&, int n) { o.load.connections = n; }},
      {"--frames", [&](auto&, int n) { o.load.frames = n; }},
      {"--pipeline", [&](auto&, int n) { o.load.pipeline = std::max(1, n); }},
      {"--type", [&](const std::string& v, int) { o.load.type = v; }},
      {"--timeout", [&](auto&, int n) { o.load.timeout_seconds = n; }},
      {"--idle", [&](auto&, int n) { o.idle = n; }},
      {"--seconds", [&](auto&, int n) { o.idle_seconds = n; }},
      {"--sources",
       [&](auto&, int n) { o.target.source_addresses = std::max(1, n); }},
      {"--pid", [&](auto&, int n) { o.pid = static_cast<pid_t>(n); }},
      {"--archive-dir", [&](const std::string& v, int) { o.archive_dir = v; }},
      {"--archive-frames", [&](auto&, int n) { o.archive_frames = n; }},
      {"--archive-keep", [&](auto&, int n) { o.archive_keep = n != 0; }},
      {"--label", [&](const std::string& v, int) { o.label = v; }},
      {"--tls", [&](auto&, int n) { o.tls = n != 0; }},
      {"--ca", [&](const std::string& v, int) { o.tls_options.ca_file = v; }},
      {"--cert",
       [&](const std::string& v, int) { o.tls_options.cert_file = v; }},
      {"--key", [&](const std::string& v, int) { o.tls_options.key_file = v; }},
  };
  for (int i = 1; i + 1 < argc; i += 2) {
    const auto setter = setters.find(argv[i]);
    if (setter == setters.end()) return false;
    setter->second(argv[i + 1], std::atoi(argv[i + 1]));
  }
  return argc % 2 == 1;
}

std::uint32_t Percentile(const std::vector<std::uint32_t>& sorted, double p) {
  if (sorted.empty()) return 0;
  const auto at = static_cast<std::size_t>(p * (sorted.size() - 1) + 0.5);
  return sorted[std::min(at, sorted.size() - 1)];
}

double MeasureLimit(const Options& o, ArchiveProbe& probe) {
  const std::string message = BenchMessage(0, 0, o.load.type);
  return probe.Measure(o.archive_frames, BuildFrame(message).size() + 2,
                       message.size());
}

// Waits until the service holds at least `count` more descriptors than
// `before`, so that every idle connection has been accepted.
bool WaitForAccepts(pid_t pid, std::int64_t before, int count,
                    std::chrono::milliseconds poll) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline) {
    if (CountOpenFds(pid) >= before + count) return true;
    std::this_thread::sleep_for(poll);
  }
  return false;
}

struct IdleFigures {
  bool ok = false;
  double cpu_percent = 0;
  std::int64_t rss_kib = 0;
};

IdleFigures MeasureIdle(const Options& o, IdleConnections& idle) {
  IdleFigures f;
  const std::int64_t fds_before = SampleProcess(o.pid).open_fds;
  std::string error;
  // Batches below the listen backlog of 15, each accepted before the next.
  const auto settle = [&](int opened) {
    WaitForAccepts(o.pid, fds_before, opened, std::chrono::milliseconds(1));
  };
  const int opened = idle.Open(o.target, o.idle, 10, settle, error);
  std::printf("idle: %d of %d connections open%s%s\n", opened, o.idle,
              error.empty() ? "" : "; ", error.c_str());
  if (opened < o.idle) return f;
  if (!WaitForAccepts(o.pid, fds_before, opened,
                      std::chrono::milliseconds(100))) {
    std::printf("idle: the service did not accept every connection\n");
    return f;
  }
  // Let the accept work settle before the window opens.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const ProcessSample a = SampleProcess(o.pid);
  const auto t0 = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(o.idle_seconds));
  const ProcessSample b = SampleProcess(o.pid);
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0)
          .count();
  f.ok = a.ok && b.ok;
  f.cpu_percent = 100.0 * (b.cpu_seconds - a.cpu_seconds) / wall;
  f.rss_kib = b.rss_kib;
  std::printf("idle: %.1f s window: CPU %.2f %% of one core, RSS %lld KiB\n",
              wall, f.cpu_percent, static_cast<long long>(f.rss_kib));
  return f;
}

int Main(int argc, char** argv) {
  Options o;
  if (!Parse(argc, argv, o)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  RaiseFileLimit();
  if (o.pid < 0) o.pid = FindProcess("KvxTCPServer");
  double limit = 0;
  ArchiveProbe probe(o.archive_dir, o.archive_keep);
  if (!o.archive_dir.empty()) limit = MeasureLimit(o, probe);
  IdleConnections idle;
  IdleFigures idle_figures;
  if (o.idle > 0) {
    if (o.pid < 0) {
      std::fprintf(stderr, "kvx_bench: no service pid (--pid)\n");
      return 2;
    }
    idle_figures = MeasureIdle(o, idle);
  }
  LoadResult load;
  if (o.load.connections > 0 && o.load.frames > 0) {
    const ProcessSample before = SampleProcess(o.pid);
    load = o.tls ? RunTlsLoad(o.target, o.load, o.tls_options)
                 : RunLoad(o.target, o.load);
    const ProcessSample after = SampleProcess(o.pid);
    if (before.ok && after.ok && load.seconds > 0) {
      idle_figures.cpu_percent =
          100.0 * (after.cpu_seconds - before.cpu_seconds) / load.seconds;
      idle_figures.rss_kib = after.rss_kib;
    }
  }
  // The better of the measurements before and after the load.
  if (!o.archive_dir.empty()) limit = std::max(limit, MeasureLimit(o, probe));
  std::sort(load.latencies_us.begin(), load.latencies_us.end());
  const double fps = load.seconds > 0 ? load.replies / load.seconds : 0;
  const auto& l = load.latencies_us;
  std::printf(
      "load: %lld replies in %.3f s = %.0f frames/s; latency us p50 %u p90 %u "
      "p99 %u max %u; errors %lld%s%s\n",
      static_cast<long long>(load.replies), load.seconds, fps,
      Percentile(l, 0.5), Percentile(l, 0.9), Percentile(l, 0.99),
      l.empty() ? 0u : l.back(), static_cast<long long>(load.errors),
      load.first_error.empty() ? "" : " (first: ",
      load.first_error.empty() ? "" : (load.first_error + ")").c_str());
  if (limit > 0) {
    std::printf("archive limit: %.0f frames/s (2 files each); ratio %.1f %%\n",
                limit, 100.0 * fps / limit);
  }
  const bool idle_failed = o.idle > 0 && !idle_figures.ok;
  std::printf(
      "RESULT label=%s fps=%.0f p50=%u p90=%u p99=%u max=%u errors=%lld "
      "limit=%.0f ratio=%.1f cpu=%.2f rss_kib=%lld\n",
      o.label.c_str(), fps, Percentile(l, 0.5), Percentile(l, 0.9),
      Percentile(l, 0.99), l.empty() ? 0u : l.back(),
      static_cast<long long>(load.errors + (idle_failed ? 1 : 0)), limit,
      limit > 0 ? 100.0 * fps / limit : 0.0, idle_figures.cpu_percent,
      static_cast<long long>(idle_figures.rss_kib));
  return load.errors == 0 && !idle_failed ? 0 : 1;
}

}  // namespace
}  // namespace kvx::bench

int main(int argc, char** argv) { return kvx::bench::Main(argc, argv); }
