#include "status/status_record.h"

#include <algorithm>
#include <charconv>
#include <vector>

#include "status/status_datagram.h"
#include "status/xor_cipher.h"

namespace kvx {

namespace {

bool AllDigits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(),
                                   [](char c) { return c >= '0' && c <= '9'; });
}

template <typename T>
bool ReadNumber(std::string_view s, T& out) {
  if (!AllDigits(s)) return false;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  return ec == std::errc() && end == s.data() + s.size();
}

// "#v1#v2#...#v9#" without its outer "#": the nine values.
std::vector<std::string_view> SplitRecord(std::string_view inner) {
  std::vector<std::string_view> values;
  std::size_t start = 0;
  for (;;) {
    std::size_t hash = inner.find('#', start);
    values.push_back(inner.substr(start, hash - start));
    if (hash == std::string_view::npos) break;
    start = hash + 1;
  }
  return values;
}

std::optional<HostRecord> ParseRecord(std::string_view inner) {
  std::vector<std::string_view> v = SplitRecord(inner);
  if (v.size() != 9) return std::nullopt;
  HostRecord r;
  if (!ReadNumber(v[0], r.mem_virt_total) ||
      !ReadNumber(v[1], r.mem_virt_free) ||
      !ReadNumber(v[2], r.mem_phys_total) ||
      !ReadNumber(v[3], r.mem_phys_free) || !ReadNumber(v[5], r.memory_load)) {
    return std::nullopt;
  }
  r.os_version = v[4];
  r.record_version = v[6];
  r.program_version = v[7];
  r.final_field = v[8];
  return r;
}

}  // namespace

std::optional<StatusFields> ParseStatusText(std::string_view text) {
  // The tail ",##v1#...#v9##" holds the last twelve "#" of the text.
  if (text.size() < 2 || !text.ends_with("##")) return std::nullopt;
  std::size_t pos = text.size();
  for (int i = 0; i < 12; ++i) {
    if (pos == 0) return std::nullopt;
    pos = text.rfind('#', pos - 1);
    if (pos == std::string_view::npos) return std::nullopt;
  }
  if (pos == 0 || text[pos - 1] != ',' || text[pos + 1] != '#') {
    return std::nullopt;
  }
  std::string_view head = text.substr(0, pos - 1);
  // Drop "##" at both ends of the tail: the inner record text.
  std::string_view inner = text.substr(pos + 2, text.size() - pos - 4);

  std::size_t c1 = head.find(',');
  std::size_t c2 = c1 == head.npos ? head.npos : head.find(',', c1 + 1);
  std::size_t c3 = c2 == head.npos ? head.npos : head.find(',', c2 + 1);
  if (c3 == head.npos) return std::nullopt;

  StatusFields f;
  std::string_view code = head.substr(0, c1);
  if (code.size() > 9 || !ReadNumber(code, f.code)) return std::nullopt;
  f.stamp = head.substr(c1 + 1, c2 - c1 - 1);
  if (f.stamp.size() != 14 || !AllDigits(f.stamp)) return std::nullopt;
  f.computer_name = head.substr(c2 + 1, c3 - c2 - 1);
  f.tosid = head.substr(c3 + 1);
  std::optional<HostRecord> record = ParseRecord(inner);
  if (!record) return std::nullopt;
  f.record = std::move(*record);
  return f;
}

std::optional<StatusFields> ParseStatusDatagram(std::string_view payload,
                                                std::string_view key) {
  std::string text(payload);
  XorTransform(text, key);
  return ParseStatusText(text);
}

std::string_view StatusCodeMeaning(int code) {
  switch (code) {
    case kStatusStarted:
      return "start or continue";
    case kStatusShutdown:
      return "shutdown";
    case kStatusPaused:
      return "pause";
    case kStatusHeartbeat:
      return "heartbeat";
    default:
      return "unknown";
  }
}

}  // namespace kvx
