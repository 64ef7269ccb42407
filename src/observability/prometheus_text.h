// The gateway's figures in the Prometheus text exposition format.
#ifndef KVX_OBSERVABILITY_PROMETHEUS_TEXT_H_
#define KVX_OBSERVABILITY_PROMETHEUS_TEXT_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kvx {

struct Metrics;

// Figures read from the system at scrape time; a figure that could not be
// read is left out of the output.
struct ProcessFacts {
  double start_time_seconds = 0;  // since the Unix epoch
  std::string version;            // the program version, a.b.c.d
  std::optional<std::uint64_t> resident_bytes;
  std::optional<std::uint64_t> open_fds;
  std::optional<std::uint64_t> archive_free_bytes;
};

// Version 0.0.4 of the text format, as served with this content type.
inline constexpr std::string_view kPrometheusContentType =
    "text/plain; version=0.0.4; charset=utf-8";

// Every metric with its HELP and TYPE lines, names prefixed "kvx_".
std::string RenderPrometheus(const Metrics& metrics, const ProcessFacts& facts);

// A label value with backslash, double quote and line feed escaped.
std::string EscapeLabelValue(std::string_view value);

// A sample value: the shortest plain decimal (no exponent) that reads back
// as `v`; "+Inf", "-Inf"
// and "NaN" for the special values.
std::string FormatSampleValue(double v);

}  // namespace kvx

#endif  // KVX_OBSERVABILITY_PROMETHEUS_TEXT_H_
