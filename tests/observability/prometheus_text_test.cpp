// The text exposition of the gateway's figures.
#include "observability/prometheus_text.h"

#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <sstream>
#include <string>

#include "observability/metrics.h"

namespace kvx {
namespace {

using namespace std::chrono_literals;

bool HasLine(const std::string& text, const std::string& line) {
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) {
    if (l == line) return true;
  }
  return false;
}

TEST(PrometheusTextTest, ShowsEveryFigureUnderItsName) {
  Metrics m;
  m.connections_open.Set(3);
  m.connections_accepted.Add(7);
  m.replies_inf.Add(2);
  m.replies_ack.Add(5);
  m.replies_nak.Add(1);
  m.bytes_received.Add(1234);
  m.archive_failures.Add(4);
  m.events_warning.Add(9);
  m.database_linked.Set(1);
  m.refused_allow_list.Add(11);
  m.refused_limit.Add(12);
  m.refused_proxy_header.Add(13);
  m.refused_handshake.Add(14);
  m.receive_timeout_closes.Add(15);
  m.frame_reply_seconds.Observe(200us);
  m.frame_reply_seconds.Observe(3s);
  ProcessFacts f;
  f.start_time_seconds = 1767225600.5;
  f.version = "1.0.0.1";
  f.resident_bytes = 5 << 20;
  f.open_fds = 12;
  f.archive_free_bytes = 1000;
  const std::string text = RenderPrometheus(m, f);
  for (const std::string line : {
           "# TYPE kvx_connections_open gauge",
           "kvx_connections_open 3",
           "# TYPE kvx_connections_accepted_total counter",
           "kvx_connections_accepted_total 7",
           "kvx_frames_answered_total{reply=\"INF\"} 2",
           "kvx_frames_answered_total{reply=\"ACK\"} 5",
           "kvx_frames_answered_total{reply=\"NAK\"} 1",
           "kvx_received_bytes_total 1234",
           "kvx_sent_bytes_total 0",
           "kvx_archive_failures_total 4",
           "kvx_archive_last_write_ok 1",
           "kvx_event_log_entries_total{type=\"warning\"} 9",
           "kvx_database_linked 1",
           "# TYPE kvx_connections_refused_total counter",
           "kvx_connections_refused_total{reason=\"allow_list\"} 11",
           "kvx_connections_refused_total{reason=\"limit\"} 12",
           "kvx_connections_refused_total{reason=\"proxy_header\"} 13",
           "kvx_connections_refused_total{reason=\"handshake\"} 14",
           "kvx_receive_timeout_closes_total 15",
           "# TYPE kvx_frame_reply_seconds histogram",
           "kvx_frame_reply_seconds_bucket{le=\"0.0001\"} 0",
           "kvx_frame_reply_seconds_bucket{le=\"0.00025\"} 1",
           "kvx_frame_reply_seconds_bucket{le=\"2.5\"} 1",
           "kvx_frame_reply_seconds_bucket{le=\"5\"} 2",
           "kvx_frame_reply_seconds_bucket{le=\"+Inf\"} 2",
           "kvx_frame_reply_seconds_sum 3.0002",
           "kvx_frame_reply_seconds_count 2",
           "kvx_archive_write_seconds_count 0",
           "kvx_archive_free_bytes 1000",
           "kvx_process_start_time_seconds 1767225600.5",
           "kvx_build_info{version=\"1.0.0.1\"} 1",
           "kvx_process_resident_memory_bytes 5242880",
           "kvx_process_open_fds 12",
       }) {
    EXPECT_TRUE(HasLine(text, line)) << line << "\nin:\n" << text;
  }
}

// Every sample follows its own HELP and TYPE, each metric family is
// declared once, and every line ends with a line feed.
TEST(PrometheusTextTest, DeclaresEachFamilyOnceBeforeItsSamples) {
  Metrics m;
  ProcessFacts f;
  const std::string text = RenderPrometheus(m, f);
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');
  std::set<std::string> declared;
  std::string current;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) {
    if (l.rfind("# HELP ", 0) == 0) {
      current = l.substr(7, l.find(' ', 7) - 7);
      EXPECT_TRUE(declared.insert(current).second) << current;
    } else if (l.rfind("# TYPE ", 0) == 0) {
      EXPECT_EQ(l.substr(7, current.size()), current);
    } else {
      const std::string name = l.substr(0, l.find_first_of("{ "));
      EXPECT_EQ(name.rfind(current, 0), 0u) << l;
      EXPECT_EQ(name.rfind("kvx_", 0), 0u) << l;
    }
  }
  // Figures that could not be read are left out, not shown as 0.
  EXPECT_EQ(declared.count("kvx_archive_free_bytes"), 0u);
  EXPECT_EQ(declared.count("kvx_process_open_fds"), 0u);
}

TEST(PrometheusTextTest, EscapesLabelValuesAndFormatsNumbers) {
  EXPECT_EQ(EscapeLabelValue("a\\b\"c\nd"), "a\\\\b\\\"c\\nd");
  struct Case {
    double v;
    const char* want;
  };
  const Case kCases[] = {{0, "0"},
                         {1, "1"},
                         {0.00005, "0.00005"},
                         {2.5, "2.5"},
                         {1e20, "100000000000000000000"},
                         {1.0 / 0.0, "+Inf"},
                         {-1.0 / 0.0, "-Inf"}};
  for (const Case& c : kCases) EXPECT_EQ(FormatSampleValue(c.v), c.want) << c.v;
}

}  // namespace
}  // namespace kvx
