// Reads the service's traffic log back record by record, for the end-to-end
// tests of the diagnostics.
#ifndef KVX_TESTS_E2E_TRAFFIC_RECORDS_H_
#define KVX_TESTS_E2E_TRAFFIC_RECORDS_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kvx::e2e {

// One record: `id` "a.b.c.d:port", `kind` "Stat", "Recv" or "Sent", `time`
// (empty for "Stat"), `data` ("Connected." / "Disconnected." for "Stat"),
// without the record's final CR LF.
struct TrafficRecord {
  std::string id;
  std::string kind;
  std::string time;
  std::string data;
};

// Parses the bytes of a traffic log. A record begins at the start of a line
// with an id, a blank and "Stat ", "Recv " or "Sent "; a line that does not
// begin so continues the record before it (data holding CR LF). Status
// records are exactly "Connected." or "Disconnected."; data records carry
// "dd-mm-yyyy hh:nn:ss" (or the date alone) and ": ". nullopt when the bytes
// are not such a sequence of whole records (`error` says where).
std::optional<std::vector<TrafficRecord>> ParseTrafficLog(
    std::string_view bytes, std::string* error = nullptr);

// The records of the one traffic log in `logs_dir`: empty while there is
// no log or more than one; a log that does not parse is a test failure.
std::vector<TrafficRecord> ReadTrafficLog(const std::string& logs_dir);

// The records of one connection, in file order.
std::vector<TrafficRecord> RecordsOf(const std::vector<TrafficRecord>& all,
                                     const std::string& id);

// The names of the traffic logs in `logs_dir` ("TCP_IC" + file stamp +
// ".txt"); a name that starts with "TCP_IC" but is not such a name is a test
// failure.
std::vector<std::string> TrafficLogNames(const std::string& logs_dir);

}  // namespace kvx::e2e

#endif  // KVX_TESTS_E2E_TRAFFIC_RECORDS_H_
