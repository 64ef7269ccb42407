// kvx_bench: load generator and resource probe for KvxTCPServer. Sends framed
// messages on C connections (M frames each, up to P outstanding), checks every
// reply, and prints frames per second and latency; holds idle connections
// open and reads the service's CPU time and resident memory meanwhile;
// measures the archive-file limit of this machine (and the CPU time that
// costs) for comparison; and counts the archive files the load left.
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
  std::string count_dir;
  std::int64_t expect_files = -1;
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
    "  --count-dir D            after the load, count the COM archive files\n"
    "                           (TCP_COMx_ raw, TCP_COM_ decoded) in D\n"
    "  --expect-files N         ... and count an error unless both are N\n"
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
      {"--count-dir", [&](const std::string& v, int) { o.count_dir = v; }},
      {"--expect-files", [&](auto&, int n) { o.expect_files = n; }},
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

ProbeFigures MeasureLimit(const Options& o, ArchiveProbe& probe) {
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

// The load and what the service spent on it.
struct LoadFigures {
  LoadResult load;
  double cpu_percent = 0;
  double cpu_us_per_frame = 0;  // the service's user + system time per reply
  std::int64_t rss_kib = 0;
};

LoadFigures MeasureLoad(const Options& o) {
  LoadFigures f;
  const ProcessSample before = SampleProcess(o.pid);
  f.load = o.tls ? RunTlsLoad(o.target, o.load, o.tls_options)
                 : RunLoad(o.target, o.load);
  const ProcessSample after = SampleProcess(o.pid);
  if (before.ok && after.ok && f.load.seconds > 0) {
    const double cpu = after.cpu_seconds - before.cpu_seconds;
    f.cpu_percent = 100.0 * cpu / f.load.seconds;
    if (f.load.replies > 0) f.cpu_us_per_frame = 1e6 * cpu / f.load.replies;
    f.rss_kib = after.rss_kib;
  }
  return f;
}

// The better of two probe measurements: the higher rate, the lower CPU time.
ProbeFigures Better(const ProbeFigures& a, const ProbeFigures& b) {
  if (a.frames_per_second <= 0) return b;
  if (b.frames_per_second <= 0) return a;
  return {std::max(a.frames_per_second, b.frames_per_second),
          std::min(a.cpu_us_per_frame, b.cpu_us_per_frame)};
}

// Counts the archive files of the load; false when `--expect-files` was
// given and either count differs from it.
bool CheckArchiveFiles(const Options& o, ArchiveCount& count) {
  if (o.count_dir.empty()) return true;
  count = CountArchiveFiles(o.count_dir);
  if (!count.ok) {
    std::printf("archive files: cannot read %s\n", o.count_dir.c_str());
    return o.expect_files < 0;
  }
  const bool ok = o.expect_files < 0 || (count.raw == o.expect_files &&
                                         count.decoded == o.expect_files);
  std::printf("archive files: %lld raw (TCP_COMx_), %lld decoded (TCP_COM_)",
              static_cast<long long>(count.raw),
              static_cast<long long>(count.decoded));
  if (o.expect_files >= 0) {
    std::printf("; expected %lld each: %s",
                static_cast<long long>(o.expect_files), ok ? "exact" : "WRONG");
  }
  std::printf("\n");
  return ok;
}

void PrintLoad(const LoadFigures& f, const ProbeFigures& probe) {
  const LoadResult& load = f.load;
  const auto& l = load.latencies_us;
  const double fps = load.seconds > 0 ? load.replies / load.seconds : 0;
  std::printf(
      "load: %lld replies in %.3f s = %.0f frames/s; latency us p50 %u p90 %u "
      "p99 %u max %u; errors %lld%s%s\n",
      static_cast<long long>(load.replies), load.seconds, fps,
      Percentile(l, 0.5), Percentile(l, 0.9), Percentile(l, 0.99),
      l.empty() ? 0u : l.back(), static_cast<long long>(load.errors),
      load.first_error.empty() ? "" : " (first: ",
      load.first_error.empty() ? "" : (load.first_error + ")").c_str());
  if (probe.frames_per_second <= 0) return;
  std::printf("archive limit: %.0f frames/s (2 files each); ratio %.1f %%\n",
              probe.frames_per_second, 100.0 * fps / probe.frames_per_second);
  if (f.cpu_us_per_frame > 0 && probe.cpu_us_per_frame > 0) {
    std::printf(
        "CPU per frame: service %.1f us, probe %.1f us; quotient %.2f\n",
        f.cpu_us_per_frame, probe.cpu_us_per_frame,
        f.cpu_us_per_frame / probe.cpu_us_per_frame);
  }
}

// The one line the script reads: every figure as name=value.
void PrintResult(const Options& o, const LoadFigures& f,
                 const ProbeFigures& probe, const IdleFigures& idle,
                 const ArchiveCount& count, std::int64_t errors) {
  const auto& l = f.load.latencies_us;
  const double fps = f.load.seconds > 0 ? f.load.replies / f.load.seconds : 0;
  const double limit = probe.frames_per_second;
  std::printf(
      "RESULT label=%s fps=%.0f p50=%u p90=%u p99=%u max=%u errors=%lld "
      "limit=%.0f ratio=%.1f cpu=%.2f rss_kib=%lld service_us=%.1f "
      "probe_us=%.1f raw_files=%lld decoded_files=%lld\n",
      o.label.c_str(), fps, Percentile(l, 0.5), Percentile(l, 0.9),
      Percentile(l, 0.99), l.empty() ? 0u : l.back(),
      static_cast<long long>(errors), limit,
      limit > 0 ? 100.0 * fps / limit : 0.0, idle.cpu_percent,
      static_cast<long long>(idle.rss_kib), f.cpu_us_per_frame,
      probe.cpu_us_per_frame, static_cast<long long>(count.ok ? count.raw : -1),
      static_cast<long long>(count.ok ? count.decoded : -1));
}

int Main(int argc, char** argv) {
  Options o;
  if (!Parse(argc, argv, o)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  RaiseFileLimit();
  if (o.pid < 0) o.pid = FindProcess("KvxTCPServer");
  ProbeFigures probe;
  ArchiveProbe archive_probe(o.archive_dir, o.archive_keep);
  if (!o.archive_dir.empty()) probe = MeasureLimit(o, archive_probe);
  IdleConnections idle;
  IdleFigures idle_figures;
  if (o.idle > 0) {
    if (o.pid < 0) {
      std::fprintf(stderr, "kvx_bench: no service pid (--pid)\n");
      return 2;
    }
    idle_figures = MeasureIdle(o, idle);
  }
  LoadFigures f;
  if (o.load.connections > 0 && o.load.frames > 0) {
    f = MeasureLoad(o);
    if (f.rss_kib > 0) {
      idle_figures.cpu_percent = f.cpu_percent;
      idle_figures.rss_kib = f.rss_kib;
    }
  }
  ArchiveCount count;
  const bool files_ok = CheckArchiveFiles(o, count);
  // The better of the measurements before and after the load.
  if (!o.archive_dir.empty()) {
    probe = Better(probe, MeasureLimit(o, archive_probe));
  }
  std::sort(f.load.latencies_us.begin(), f.load.latencies_us.end());
  PrintLoad(f, probe);
  const bool idle_failed = o.idle > 0 && !idle_figures.ok;
  const std::int64_t errors =
      f.load.errors + (idle_failed ? 1 : 0) + (files_ok ? 0 : 1);
  PrintResult(o, f, probe, idle_figures, count, errors);
  return errors == 0 ? 0 : 1;
}

}  // namespace
}  // namespace kvx::bench

int main(int argc, char** argv) { return kvx::bench::Main(argc, argv); }
