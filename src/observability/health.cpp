#include "observability/health.h"

namespace kvx {
namespace {

const char* Bool(bool b) { return b ? "true" : "false"; }

std::string Verdict(const HealthInputs& in) {
  if ((in.listener_configured && !in.listener_active) ||
      !in.archive_last_write_ok) {
    return "failing";
  }
  if ((in.database_configured && !in.database_linked) ||
      in.below_free_space_mark.value_or(false)) {
    return "degraded";
  }
  return "ok";
}

std::string ArchiveJson(const HealthInputs& in) {
  std::string j = "{\"last_write_ok\":";
  j += Bool(in.archive_last_write_ok);
  j += ",\"queue_length\":" + std::to_string(in.archive_queue);
  if (in.archive_free_bytes) {
    j += ",\"free_bytes\":" + std::to_string(*in.archive_free_bytes);
  }
  if (in.below_free_space_mark) {
    j += ",\"below_free_space_mark\":";
    j += Bool(*in.below_free_space_mark);
  }
  return j + "}";
}

}  // namespace

HealthReport EvaluateHealth(const HealthInputs& in) {
  HealthReport r;
  r.status = Verdict(in);
  r.http_status = r.status == "failing" ? 503 : 200;
  std::string& j = r.json;
  j = "{\"status\":\"" + r.status + "\"";
  j += ",\"state\":\"";
  j += in.paused ? "paused" : "running";
  j += "\",\"listener\":{\"configured\":";
  j += Bool(in.listener_configured);
  j += ",\"active\":";
  j += Bool(in.listener_active);
  j += "},\"archive\":" + ArchiveJson(in);
  j += ",\"database\":{\"configured\":";
  j += Bool(in.database_configured);
  if (in.database_configured) {
    j += ",\"linked\":";
    j += Bool(in.database_linked);
  }
  j += "}}\n";
  return r;
}

}  // namespace kvx
