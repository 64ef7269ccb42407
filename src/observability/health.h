// The health verdict of /health: a pure function of the gateway's state.
#ifndef KVX_OBSERVABILITY_HEALTH_H_
#define KVX_OBSERVABILITY_HEALTH_H_

#include <cstdint>
#include <optional>
#include <string>

namespace kvx {

struct HealthInputs {
  bool paused = false;
  bool listener_configured = false;  // Port is 1 or more
  bool listener_active = false;
  bool archive_last_write_ok = true;
  std::int64_t archive_queue = 0;
  std::optional<std::uint64_t> archive_free_bytes;  // unknown: left out
  // Whether the archive directory's free space is below its mark; unknown
  // (left out, no influence) where no mark is watched.
  std::optional<bool> below_free_space_mark;
  bool database_configured = false;  // all four database settings given
  bool database_linked = false;
};

struct HealthReport {
  int http_status = 200;  // 200 for ok and degraded, 503 for failing
  std::string status;     // "ok", "degraded" or "failing"
  std::string json;       // the whole response body
};

// failing: the listener is configured but not listening, or the latest
// archive write failed (frames are then held unanswered).
// degraded: the database is configured but not linked, or the archive
// directory is below its free-space mark.
// ok: otherwise. Pausing does not count: connections are still served.
HealthReport EvaluateHealth(const HealthInputs& in);

}  // namespace kvx

#endif  // KVX_OBSERVABILITY_HEALTH_H_
