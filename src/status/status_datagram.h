// The status datagram: one enciphered line that announces the service's
// state, broadcast to UDP port 54200 of 255.255.255.255.
#ifndef KVX_STATUS_STATUS_DATAGRAM_H_
#define KVX_STATUS_STATUS_DATAGRAM_H_

#include <string>
#include <string_view>

#include "core/settings.h"
#include "platform/clock.h"
#include "platform/system_info.h"
#include "platform/udp_broadcaster.h"
#include "status/xor_cipher.h"

namespace kvx {

// The status codes and their events.
inline constexpr int kStatusStarted = 3000;  // start, and continue after pause
inline constexpr int kStatusShutdown = 3001;
inline constexpr int kStatusPaused = 3002;
inline constexpr int kStatusHeartbeat = 3003;

// The fixed destination of every status datagram.
inline constexpr Ipv4Endpoint kStatusDestination{0xFFFFFFFFu, 54200};

// "code,yyyymmddhhnnss,NAME,TOSID,#record#": the plain datagram text, no
// field quoted or escaped. The record begins and ends with "#" itself, so
// the text ends in "##".
std::string DatagramText(int code, const LocalTime& moment,
                         std::string_view computer_name, std::string_view tosid,
                         std::string_view record);

// `name` with the letters a to z in upper case; every other byte unchanged.
std::string UpperCaseComputerName(std::string_view name);

// The status sender of the service module: composes, enciphers and
// broadcasts one status datagram per call. Owned by the module; used on the
// service thread only (not thread-safe). Between calls it holds the socket
// of the last datagram open; the next call or the destructor closes it.
class StatusReporter {
 public:
  // All four must outlive the reporter. `settings` supplies FKey and FTOSID,
  // read afresh on every call.
  StatusReporter(const Settings& settings, Clock& clock, SystemInfo& info,
                 UdpBroadcaster& socket);
  ~StatusReporter();
  StatusReporter(const StatusReporter&) = delete;
  StatusReporter& operator=(const StatusReporter&) = delete;

  // Sends status `code` as every caller does: the current local time first,
  // then FTOSID, the record (ComputerPakket with `program_version`) and the
  // computer name in upper case. Returns SendUDPKavero's result. A failure
  // while building the record reaches the caller as an exception.
  bool SendStatus(int code, std::string_view program_version);

  // Sends one datagram: closes the previous socket, enciphers the text with
  // FKey, replaces each byte from 0x80 up by '?', and broadcasts it from a
  // new socket with broadcast permission switched on for the send only.
  // Returns false on any failure, which is neither logged nor retried.
  bool SendUDPKavero(int code, const LocalTime& moment,
                     std::string_view computer_name, std::string_view tosid,
                     std::string_view record) noexcept;

 private:
  bool Broadcast(std::string_view payload);

  const Settings& settings_;
  Clock& clock_;
  SystemInfo& sys_info_;     // SysInfo1
  UdpBroadcaster& lan_udp_;  // LanUDP
  TXORCipher xor_cipher_;    // XORCipher1
};

}  // namespace kvx

#endif  // KVX_STATUS_STATUS_DATAGRAM_H_
