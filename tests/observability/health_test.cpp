// The verdict of /health.
#include "observability/health.h"

#include <gtest/gtest.h>

#include <string>

namespace kvx {
namespace {

HealthInputs Good() {
  HealthInputs in;
  in.listener_configured = true;
  in.listener_active = true;
  in.archive_last_write_ok = true;
  in.database_configured = true;
  in.database_linked = true;
  return in;
}

TEST(HealthTest, JudgesEachFault) {
  struct Case {
    const char* what;
    void (*change)(HealthInputs&);
    const char* status;
    int http;
  };
  const Case kCases[] = {
      {"all well", [](HealthInputs&) {}, "ok", 200},
      {"listener down", [](HealthInputs& in) { in.listener_active = false; },
       "failing", 503},
      {"no listener configured",
       [](HealthInputs& in) {
         in.listener_configured = false;
         in.listener_active = false;
       },
       "ok", 200},
      {"archive failing",
       [](HealthInputs& in) { in.archive_last_write_ok = false; }, "failing",
       503},
      {"database not linked",
       [](HealthInputs& in) { in.database_linked = false; }, "degraded", 200},
      {"database not configured",
       [](HealthInputs& in) {
         in.database_configured = false;
         in.database_linked = false;
       },
       "ok", 200},
      {"below the free-space mark",
       [](HealthInputs& in) { in.below_free_space_mark = true; }, "degraded",
       200},
      {"above the free-space mark",
       [](HealthInputs& in) { in.below_free_space_mark = false; }, "ok", 200},
      {"paused", [](HealthInputs& in) { in.paused = true; }, "ok", 200},
      {"failing beats degraded",
       [](HealthInputs& in) {
         in.database_linked = false;
         in.archive_last_write_ok = false;
       },
       "failing", 503},
  };
  for (const Case& c : kCases) {
    HealthInputs in = Good();
    c.change(in);
    const HealthReport r = EvaluateHealth(in);
    EXPECT_EQ(r.status, c.status) << c.what;
    EXPECT_EQ(r.http_status, c.http) << c.what;
    EXPECT_EQ(r.json.rfind(std::string("{\"status\":\"") + c.status + "\"", 0),
              0u)
        << c.what << ": " << r.json;
  }
}

TEST(HealthTest, WritesTheWholeStateAsJson) {
  HealthInputs in = Good();
  in.paused = true;
  in.archive_queue = 3;
  in.archive_free_bytes = 4096;
  in.database_linked = false;
  EXPECT_EQ(EvaluateHealth(in).json,
            "{\"status\":\"degraded\",\"state\":\"paused\","
            "\"listener\":{\"configured\":true,\"active\":true},"
            "\"archive\":{\"last_write_ok\":true,\"queue_length\":3,"
            "\"free_bytes\":4096},"
            "\"database\":{\"configured\":true,\"linked\":false}}\n");
  in.below_free_space_mark = false;
  in.database_configured = false;
  EXPECT_EQ(EvaluateHealth(in).json,
            "{\"status\":\"ok\",\"state\":\"paused\","
            "\"listener\":{\"configured\":true,\"active\":true},"
            "\"archive\":{\"last_write_ok\":true,\"queue_length\":3,"
            "\"free_bytes\":4096,\"below_free_space_mark\":false},"
            "\"database\":{\"configured\":false}}\n");
}

}  // namespace
}  // namespace kvx
