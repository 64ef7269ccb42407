#include "observability/prometheus_text.h"

#include <charconv>
#include <cmath>

#include "observability/metrics.h"

namespace kvx {
namespace {

class Writer {
 public:
  void Head(std::string_view name, std::string_view type,
            std::string_view help) {
    out_.append("# HELP kvx_").append(name).append(" ").append(help);
    out_.append("\n# TYPE kvx_").append(name).append(" ").append(type);
    out_.append("\n");
  }
  void Sample(std::string_view name, std::string_view labels, double v) {
    out_.append("kvx_").append(name);
    if (!labels.empty()) out_.append("{").append(labels).append("}");
    out_.append(" ").append(FormatSampleValue(v)).append("\n");
  }
  void One(std::string_view name, std::string_view type, std::string_view help,
           double v) {
    Head(name, type, help);
    Sample(name, "", v);
  }
  void Histogram(std::string_view name, std::string_view help,
                 const HistogramValues& h) {
    Head(name, "histogram", help);
    const std::string bucket = std::string(name) + "_bucket";
    for (std::size_t i = 0; i < h.cumulative.size(); ++i) {
      const std::string le = i < h.bounds_seconds.size()
                                 ? FormatSampleValue(h.bounds_seconds[i])
                                 : "+Inf";
      Sample(bucket, "le=\"" + le + "\"", static_cast<double>(h.cumulative[i]));
    }
    Sample(std::string(name) + "_sum", "", h.sum_seconds);
    Sample(std::string(name) + "_count", "", static_cast<double>(h.count));
  }
  std::string Take() { return std::move(out_); }

 private:
  std::string out_;
};

double D(std::uint64_t v) { return static_cast<double>(v); }
double D(std::int64_t v) { return static_cast<double>(v); }

void Traffic(Writer& w, const Metrics& m) {
  w.One("connections_open", "gauge", "Connections open now.",
        D(m.connections_open.Value()));
  w.One("connections_accepted_total", "counter",
        "Connections accepted since start.", D(m.connections_accepted.Value()));
  w.Head("frames_answered_total", "counter",
         "Frames answered since start, by reply kind.");
  w.Sample("frames_answered_total", "reply=\"INF\"", D(m.replies_inf.Value()));
  w.Sample("frames_answered_total", "reply=\"ACK\"", D(m.replies_ack.Value()));
  w.Sample("frames_answered_total", "reply=\"NAK\"", D(m.replies_nak.Value()));
  w.One("received_bytes_total", "counter", "Bytes received from clients.",
        D(m.bytes_received.Value()));
  w.One("sent_bytes_total", "counter", "Bytes sent to clients.",
        D(m.bytes_sent.Value()));
  w.Histogram("frame_reply_seconds",
              "Time from the start of a frame step to its reply.",
              m.frame_reply_seconds.Read());
  w.One("buffer_limit_closes_total", "counter",
        "Connections closed because their receive buffer outgrew the limit.",
        D(m.buffer_limit_closes.Value()));
  w.Head("connections_refused_total", "counter",
         "Connections closed before their first frame byte, by reason.");
  w.Sample("connections_refused_total", "reason=\"allow_list\"",
           D(m.refused_allow_list.Value()));
  w.Sample("connections_refused_total", "reason=\"limit\"",
           D(m.refused_limit.Value()));
  w.Sample("connections_refused_total", "reason=\"proxy_header\"",
           D(m.refused_proxy_header.Value()));
  w.Sample("connections_refused_total", "reason=\"handshake\"",
           D(m.refused_handshake.Value()));
  w.One("receive_timeout_closes_total", "counter",
        "Connections closed because an incomplete frame outlasted "
        "ReceiveTimeout.",
        D(m.receive_timeout_closes.Value()));
  w.One("frame_steps_waiting_retry", "gauge",
        "Connections whose frame step failed and waits for a retry.",
        D(m.steps_waiting_retry.Value()));
}

void Archive(Writer& w, const Metrics& m, const ProcessFacts& f) {
  w.One("archive_files_written_total", "counter",
        "Archive files written (raw and decoded).",
        D(m.archive_files_written.Value()));
  w.One("archive_failures_total", "counter",
        "Frame steps whose archive files could not be written.",
        D(m.archive_failures.Value()));
  w.One("archive_queue_length", "gauge",
        "Frame steps handed to the archive thread and not yet written.",
        D(m.archive_queue.Value()));
  w.One("archive_last_write_ok", "gauge",
        "1 when the latest archive write succeeded, 0 when it failed.",
        D(m.archive_last_write_ok.Value()));
  w.Histogram("archive_write_seconds",
              "Time from handing a frame's files to the archive thread until "
              "they are written, queueing included.",
              m.archive_write_seconds.Read());
  if (f.archive_free_bytes) {
    w.One("archive_free_bytes", "gauge",
          "Bytes free to the service in the archive directory.",
          D(*f.archive_free_bytes));
  }
}

void Service(Writer& w, const Metrics& m) {
  w.One("database_linked", "gauge", "1 while the database link is open.",
        D(m.database_linked.Value()));
  w.One("database_link_attempts_total", "counter",
        "Attempts to open the database link.",
        D(m.database_link_attempts.Value()));
  w.One("status_datagrams_sent_total", "counter", "Status datagrams sent.",
        D(m.datagrams_sent.Value()));
  w.One("status_datagrams_failed_total", "counter",
        "Status datagrams that could not be sent.",
        D(m.datagrams_failed.Value()));
  w.Head("event_log_entries_total", "counter",
         "Event-log entries written, by type.");
  w.Sample("event_log_entries_total", "type=\"error\"",
           D(m.events_error.Value()));
  w.Sample("event_log_entries_total", "type=\"warning\"",
           D(m.events_warning.Value()));
  w.Sample("event_log_entries_total", "type=\"information\"",
           D(m.events_information.Value()));
  w.One("paused", "gauge", "1 while the service is paused.",
        D(m.paused.Value()));
}

void Process(Writer& w, const ProcessFacts& f) {
  w.One("process_start_time_seconds", "gauge",
        "Start time of the process since the Unix epoch.",
        f.start_time_seconds);
  w.Head("build_info", "gauge", "The program version, as a label.");
  w.Sample("build_info", "version=\"" + EscapeLabelValue(f.version) + "\"", 1);
  if (f.resident_bytes) {
    w.One("process_resident_memory_bytes", "gauge", "Resident memory.",
          D(*f.resident_bytes));
  }
  if (f.open_fds) {
    w.One("process_open_fds", "gauge", "Open file descriptors.",
          D(*f.open_fds));
  }
}

}  // namespace

std::string RenderPrometheus(const Metrics& metrics,
                             const ProcessFacts& facts) {
  Writer w;
  Traffic(w, metrics);
  Archive(w, metrics, facts);
  Service(w, metrics);
  Process(w, facts);
  return w.Take();
}

std::string EscapeLabelValue(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (const char c : value) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

std::string FormatSampleValue(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "+Inf" : "-Inf";
  char buf[32];
  const auto r =
      std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
  return std::string(buf, r.ptr);
}

}  // namespace kvx
