// Reading a status datagram back: the plain text split into its fields and
// the host information record. The receiving side of status_datagram.h and
// computer_pakket.h; pure functions.
#ifndef KVX_STATUS_STATUS_RECORD_H_
#define KVX_STATUS_STATUS_RECORD_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kvx {

// The nine values of the host information record, in their order.
struct HostRecord {
  std::uint64_t mem_virt_total = 0;  // KiB
  std::uint64_t mem_virt_free = 0;   // KiB
  std::uint64_t mem_phys_total = 0;  // KiB
  std::uint64_t mem_phys_free = 0;   // KiB
  std::string os_version;            // "major.minor"
  std::uint32_t memory_load = 0;     // percent of physical memory in use
  std::string record_version;        // "V1.0"
  std::string program_version;       // empty in a start datagram
  std::string final_field;           // "1"

  bool operator==(const HostRecord&) const = default;
};

// The fields of one status datagram text.
struct StatusFields {
  int code = 0;
  std::string stamp;  // yyyymmddhhnnss, 14 digits
  std::string computer_name;
  std::string tosid;  // may hold commas and "#"
  HostRecord record;

  bool operator==(const StatusFields&) const = default;
};

// Splits "code,stamp,NAME,TOSID,##v1#...#v9##". The record is found from the
// end (its values hold no "#"), so a TOSID with commas or "#" is kept whole;
// the computer name ends at the third comma. nullopt unless the code is 1 to
// 9 decimal digits, the stamp 14 digits, the record nine values with the
// four memory figures and the load in decimal digits.
std::optional<StatusFields> ParseStatusText(std::string_view text);

// Deciphers `payload` with `key` (the datagram cipher) and parses the text.
std::optional<StatusFields> ParseStatusDatagram(std::string_view payload,
                                                std::string_view key);

// "start or continue", "shutdown", "pause", "heartbeat"; "unknown" for any
// other code.
std::string_view StatusCodeMeaning(int code);

}  // namespace kvx

#endif  // KVX_STATUS_STATUS_RECORD_H_
