// The host information record of the status datagram and the program
// version it carries.
#ifndef KVX_STATUS_COMPUTER_PAKKET_H_
#define KVX_STATUS_COMPUTER_PAKKET_H_

#include <string>
#include <string_view>

#include "platform/system_info.h"

namespace kvx {

// "#virt total#virt free#phys total#phys free#os version#load#V1.0#
// program version#1#": nine values, ten "#". The figures are read from
// `info` in that order, each with a query of its own; the load is
// MemoryLoaded() with every " %" removed. An empty program version (before
// the start handler has read it) leaves two "#" side by side.
std::string ComputerPakket(SystemInfo& info, std::string_view program_version);

// The program version compiled in from the build, "major.minor.patch.tweak".
std::string GetVersionString();

}  // namespace kvx

#endif  // KVX_STATUS_COMPUTER_PAKKET_H_
