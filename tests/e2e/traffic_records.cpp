#include "e2e/traffic_records.h"

#include <gtest/gtest.h>

#include <regex>

#include "e2e/harness.h"

namespace kvx::e2e {
namespace {

const std::regex kRecordStart(
    R"(^(\d{1,3}(?:\.\d{1,3}){3}:\d{1,5}) (Stat|Recv|Sent) )");
const std::regex kTime(R"(^(\d\d-\d\d-\d{4}(?: \d\d:\d\d:\d\d)?): )");

// Splits at CR LF; every line must end with one.
std::optional<std::vector<std::string>> CrLfLines(std::string_view bytes) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < bytes.size()) {
    const std::size_t end = bytes.find("\r\n", start);
    if (end == std::string_view::npos) return std::nullopt;
    lines.emplace_back(bytes.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

bool Complete(TrafficRecord& record, std::string* error) {
  if (record.kind == "Stat") {
    if (record.data == "Connected." || record.data == "Disconnected.") {
      return true;
    }
    if (error) *error = "status record of " + record.id + ": " + record.data;
    return false;
  }
  std::smatch m;
  const std::string rest = std::move(record.data);
  if (!std::regex_search(rest, m, kTime)) {
    if (error) *error = "data record without its time: " + rest;
    return false;
  }
  record.time = m[1];
  record.data = rest.substr(static_cast<std::size_t>(m.length(0)));
  return true;
}

}  // namespace

std::optional<std::vector<TrafficRecord>> ParseTrafficLog(
    std::string_view bytes, std::string* error) {
  const auto lines = CrLfLines(bytes);
  if (!lines) {
    if (error) *error = "the log does not end with CR LF";
    return std::nullopt;
  }
  std::vector<TrafficRecord> records;
  for (const auto& line : *lines) {
    std::smatch m;
    if (std::regex_search(line, m, kRecordStart)) {
      if (!records.empty() && !Complete(records.back(), error)) {
        return std::nullopt;
      }
      records.push_back(
          {m[1], m[2], "", line.substr(static_cast<std::size_t>(m.length(0)))});
    } else if (!records.empty() && records.back().kind != "Stat") {
      records.back().data += "\r\n" + line;
    } else {
      if (error) *error = "a line that belongs to no record: " + line;
      return std::nullopt;
    }
  }
  if (!records.empty() && !Complete(records.back(), error)) return std::nullopt;
  return records;
}

std::vector<TrafficRecord> ReadTrafficLog(const std::string& logs_dir) {
  const auto names = TrafficLogNames(logs_dir);
  if (names.size() != 1) return {};
  std::string error;
  auto records =
      ParseTrafficLog(ReadWholeFile(logs_dir + "/" + names[0]), &error);
  if (!records) {
    ADD_FAILURE() << names[0] << ": " << error;
    return {};
  }
  return std::move(*records);
}

std::vector<TrafficRecord> RecordsOf(const std::vector<TrafficRecord>& all,
                                     const std::string& id) {
  std::vector<TrafficRecord> out;
  for (const auto& r : all) {
    if (r.id == id) out.push_back(r);
  }
  return out;
}

std::vector<std::string> TrafficLogNames(const std::string& logs_dir) {
  std::vector<std::string> names;
  for (const auto& name : FileNames(logs_dir)) {
    if (name.rfind("TCP_IC", 0) != 0) continue;
    const std::size_t dot = name.size() - 4;
    EXPECT_TRUE(name.size() > 10 && name.compare(dot, 4, ".txt") == 0 &&
                IsFileStamp(name.substr(6, dot - 6)))
        << name;
    names.push_back(name);
  }
  return names;
}

}  // namespace kvx::e2e
