// Host information for the status datagram: memory, kernel version and the
// computer's name.
#ifndef KVX_PLATFORM_SYSTEM_INFO_H_
#define KVX_PLATFORM_SYSTEM_INFO_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace kvx {

// The system-information component SysInfo1. Every read queries the system
// afresh; nothing is cached. Memory figures are KiB (bytes / 1024, remainder
// dropped). Reads never throw for a failing query: a figure that cannot be
// read is 0.
class SystemInfo {
 public:
  virtual ~SystemInfo() = default;
  // The user address space of this process and the part of it not in use.
  virtual std::uint64_t MemVirtTotal() = 0;
  virtual std::uint64_t MemVirtFree() = 0;
  // Physical memory of the computer and the part currently available.
  virtual std::uint64_t MemPhysTotal() = 0;
  virtual std::uint64_t MemPhysFree() = 0;
  // The operating-system version as "major.minor", for example "6.1".
  virtual std::string VersionWIN() = 0;
  // The percentage of physical memory in use, "%d %%": "50 %".
  virtual std::string MemoryLoaded() = 0;
  // The computer's short name, at most 15 characters, or "(Unknown)".
  virtual std::string Computername() = 0;
};

// Linux: RLIMIT_AS (or the architecture's user address-space size) and
// VmSize of /proc/self/status; MemTotal and MemAvailable of /proc/meminfo;
// the kernel release of uname; gethostname.
class LinuxSystemInfo final : public SystemInfo {
 public:
  std::uint64_t MemVirtTotal() override;
  std::uint64_t MemVirtFree() override;
  std::uint64_t MemPhysTotal() override;
  std::uint64_t MemPhysFree() override;
  std::string VersionWIN() override;
  std::string MemoryLoaded() override;
  std::string Computername() override;
};

// The pure rules behind LinuxSystemInfo.

// "major.minor" of a kernel release ("6.1.0-18-amd64" gives "6.1"); a
// missing number counts as 0.
std::string KernelMajorMinor(std::string_view release);

// The percentage of `total` that is not `available`, 0 to 100, rounded
// down; 0 when the total is 0.
int MemoryLoadPercent(std::uint64_t total_kib, std::uint64_t available_kib);

// A host name as the computer name: up to the first '.', at most 15
// characters, in Windows-1252; "(Unknown)" when nothing is left.
std::string ComputerNameFromHostName(std::string_view host_name);

}  // namespace kvx

#endif  // KVX_PLATFORM_SYSTEM_INFO_H_
