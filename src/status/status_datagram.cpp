#include "status/status_datagram.h"

#include "core/codepage.h"
#include "platform/stamps.h"
#include "status/computer_pakket.h"

namespace kvx {

std::string DatagramText(int code, const LocalTime& moment,
                         std::string_view computer_name, std::string_view tosid,
                         std::string_view record) {
  std::string text = std::to_string(code);
  text += ',';
  text += DatagramStamp(moment);
  text += ',';
  text += computer_name;
  text += ',';
  text += tosid;
  text += ",#";
  text += record;
  text += '#';
  return text;
}

std::string UpperCaseComputerName(std::string_view name) {
  std::string upper(name);
  for (char& c : upper)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return upper;
}

StatusReporter::StatusReporter(const Settings& settings, Clock& clock,
                               SystemInfo& info, UdpBroadcaster& socket)
    : settings_(settings), clock_(clock), sys_info_(info), lan_udp_(socket) {}

StatusReporter::~StatusReporter() { lan_udp_.Close(); }

bool StatusReporter::SendStatus(int code, std::string_view program_version) {
  // The moment is taken first, so it lies just before the memory figures.
  LocalTime moment = clock_.Now();
  const std::string& tosid = settings_.FTOSID;
  std::string record = ComputerPakket(sys_info_, program_version);
  std::string name = UpperCaseComputerName(sys_info_.Computername());
  return SendUDPKavero(code, moment, name, tosid, record);
}

bool StatusReporter::SendUDPKavero(int code, const LocalTime& moment,
                                   std::string_view computer_name,
                                   std::string_view tosid,
                                   std::string_view record) noexcept {
  try {
    lan_udp_.Close();
    // FKey and the text are Windows-1252 already: no conversion is needed.
    xor_cipher_.SetKey(settings_.FKey);
    xor_cipher_.SetDecoded(
        DatagramText(code, moment, computer_name, tosid, record));
    return Broadcast(ToUsAscii(xor_cipher_.Encoded()));
  } catch (...) {
    return false;  // out of memory: the datagram is dropped without a word
  }
}

bool StatusReporter::Broadcast(std::string_view payload) {
  // Each datagram goes from a socket of its own, which stays open until the
  // next call; a failed step leaves it for that call to close.
  if (!lan_udp_.Open()) return false;
  if (!lan_udp_.SetBroadcast(true)) return false;
  if (!lan_udp_.SendTo(payload, kStatusDestination)) return false;
  return lan_udp_.SetBroadcast(false);
}

}  // namespace kvx
