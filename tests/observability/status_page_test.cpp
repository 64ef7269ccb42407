// The status page: its fields, its refresh and the escaping of outside text.
#include "observability/status_page.h"

#include <gtest/gtest.h>

#include <string>

namespace kvx {
namespace {

StatusPageInputs Sample() {
  StatusPageInputs in;
  in.version = "1.0.0.1";
  in.uptime_seconds = 93784;  // 1 d 02:03:04
  in.tcp_binding = "127.0.0.1 op poort 9200";
  in.metrics_binding = "127.0.0.1 op poort 9100";
  in.connections_open = 4;
  in.frames_last_minute = 120;
  in.frames_total = 98765;
  in.archive_counter = 42;
  in.archive_free_bytes = 3u << 30;
  in.database_configured = true;
  in.database_linked = false;
  return in;
}

bool Has(const std::string& page, const std::string& part) {
  return page.find(part) != std::string::npos;
}

TEST(StatusPageTest, ShowsTheKeyFieldsAndRefreshesItself) {
  const std::string page = RenderStatusPage(Sample());
  for (const std::string part : {
           "<meta http-equiv=\"refresh\" content=\"10\">",
           "<th>State</th><td>running</td>",
           "<th>Version</th><td>1.0.0.1</td>",
           "<th>Uptime</th><td>1 d 02:03:04</td>",
           "<th>Listener</th><td>127.0.0.1 op poort 9200</td>",
           "<th>Connections now</th><td>4</td>",
           "<th>Frames in the last minute</th><td>120</td>",
           "<th>Frames since start</th><td>98765</td>",
           "<th>Archive counter</th><td>42</td>",
           "<th>Archive free disk</th><td>3072.0 MiB</td>",
           "<th>Database</th><td>not linked</td>",
       }) {
    EXPECT_TRUE(Has(page, part)) << part;
  }
  // One document on its own: no scripts, no assets from elsewhere.
  for (const std::string banned :
       {"<script", "src=", "href=", "@import", "url("}) {
    EXPECT_FALSE(Has(page, banned)) << banned;
  }
  StatusPageInputs paused = Sample();
  paused.paused = true;
  paused.database_configured = false;
  paused.archive_free_bytes.reset();
  const std::string p = RenderStatusPage(paused);
  EXPECT_TRUE(Has(p, "<th>State</th><td>paused</td>"));
  EXPECT_TRUE(Has(p, "<th>Database</th><td>not configured</td>"));
  EXPECT_TRUE(Has(p, "<th>Archive free disk</th><td>unknown</td>"));
}

// Entry texts hold message contents and client addresses: whatever they
// hold shows as text. They are Windows-1252 and become UTF-8.
TEST(StatusPageTest, ShowsEntriesAsTextNewestFirst) {
  StatusPageInputs in = Sample();
  in.tcp_binding = "<b>\"x\"</b>";
  in.entries = {
      {"2026-01-31 14:03:08", EventType::kError,
       "Verwerking: <script>alert('x')</script> & caf\xE9", false},
      {"2026-01-31 14:03:07", EventType::kInformation,
       std::string("nul\0bel\x07", 8), true},
  };
  const std::string page = RenderStatusPage(in);
  EXPECT_FALSE(Has(page, "<script>"));
  EXPECT_FALSE(Has(page, "<b>"));
  EXPECT_TRUE(Has(page, "&lt;b&gt;&quot;x&quot;&lt;/b&gt;"));
  EXPECT_TRUE(Has(page,
                  "<tr class=\"error\"><td>2026-01-31 14:03:08</td>"
                  "<td>error</td><td class=\"text\">Verwerking: "
                  "&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt; &amp; "
                  "caf\xC3\xA9</td></tr>"));
  EXPECT_TRUE(Has(page,
                  "<td>information</td><td class=\"text\">nul\xEF\xBF\xBD"
                  "bel\xEF\xBF\xBD \xE2\x80\xA6</td>"));
  EXPECT_LT(page.find("14:03:08"), page.find("14:03:07"));
}

TEST(StatusPageTest, EscapesMarkupAndControlCharacters) {
  struct Case {
    std::string in;
    std::string want;
  };
  const Case kCases[] = {
      {"plain", "plain"},
      {"a<b>&\"'", "a&lt;b&gt;&amp;&quot;&#39;"},
      {"tab\tlf\ncr\r", "tab\tlf\ncr\r"},
      {std::string("\0\x1F\x7F", 3), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"\xC3\xA9", "\xC3\xA9"},
  };
  for (const Case& c : kCases) EXPECT_EQ(HtmlEscape(c.in), c.want) << c.in;
}

TEST(StatusPageTest, FormatsUptime) {
  EXPECT_EQ(FormatUptime(0), "00:00:00");
  EXPECT_EQ(FormatUptime(3661), "01:01:01");
  EXPECT_EQ(FormatUptime(86400), "1 d 00:00:00");
  EXPECT_EQ(FormatUptime(-5), "00:00:00");
}

}  // namespace
}  // namespace kvx
