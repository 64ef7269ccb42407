#include "platform/system_info.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>

#include "core/codepage.h"
#include "platform/unique_fd.h"

namespace kvx {
namespace {

constexpr char kUnknownComputer[] = "(Unknown)";
constexpr std::size_t kMaxComputerName = 15;

// The user address-space size of a process without an address-space limit.
std::uint64_t ArchitectureAddressSpace() {
#if defined(__x86_64__)
  return std::uint64_t{1} << 47;  // 128 TiB with 4-level page tables
#elif defined(__aarch64__)
  return std::uint64_t{1} << 48;
#else
  return sizeof(void*) == 8 ? std::uint64_t{1} << 47
                            : std::uint64_t{3} << 30;  // 3 GiB split
#endif
}

// The whole of a small /proc file; empty when it cannot be read.
std::string ReadProcFile(const char* path) {
  std::string text;
  const UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return text;
  char chunk[4096];
  for (;;) {
    ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
    if (n > 0) {
      text.append(chunk, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  return text;
}

// The number after "<field>:" on a line of a /proc file ("MemTotal:  8000
// kB" gives 8000), or 0 when the field is missing.
std::uint64_t ProcField(std::string_view text, std::string_view field) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    if (line.size() > field.size() && line.starts_with(field) &&
        line[field.size()] == ':') {
      std::size_t digits = line.find_first_of("0123456789", field.size());
      std::uint64_t value = 0;
      if (digits != std::string_view::npos)
        std::from_chars(line.data() + digits, line.data() + line.size(), value);
      return value;
    }
    pos = end + 1;
  }
  return 0;
}

std::uint64_t MemInfoField(std::string_view field) {
  return ProcField(ReadProcFile("/proc/meminfo"), field);
}

}  // namespace

std::string KernelMajorMinor(std::string_view release) {
  int numbers[2] = {0, 0};
  const char* p = release.data();
  const char* end = release.data() + release.size();
  for (int& number : numbers) {
    auto [next, ec] = std::from_chars(p, end, number);
    if (ec != std::errc()) break;
    if (next == end || *next != '.') break;
    p = next + 1;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%d.%d", numbers[0], numbers[1]);
  return text;
}

int MemoryLoadPercent(std::uint64_t total_kib, std::uint64_t available_kib) {
  if (total_kib == 0) return 0;
  if (available_kib > total_kib) available_kib = total_kib;
  return static_cast<int>((total_kib - available_kib) * 100 / total_kib);
}

std::string ComputerNameFromHostName(std::string_view host_name) {
  std::string name = Utf8ToCp1252(host_name.substr(0, host_name.find('.')));
  if (name.size() > kMaxComputerName) name.resize(kMaxComputerName);
  return name.empty() ? kUnknownComputer : name;
}

std::uint64_t LinuxSystemInfo::MemVirtTotal() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
    return static_cast<std::uint64_t>(limit.rlim_cur) / 1024;
  return ArchitectureAddressSpace() / 1024;
}

std::uint64_t LinuxSystemInfo::MemVirtFree() {
  std::uint64_t total = MemVirtTotal();
  std::uint64_t used = ProcField(ReadProcFile("/proc/self/status"), "VmSize");
  return used < total ? total - used : 0;
}

std::uint64_t LinuxSystemInfo::MemPhysTotal() {
  return MemInfoField("MemTotal");
}

std::uint64_t LinuxSystemInfo::MemPhysFree() {
  return MemInfoField("MemAvailable");
}

std::string LinuxSystemInfo::VersionWIN() {
  utsname names{};
  if (::uname(&names) != 0) return KernelMajorMinor("");
  return KernelMajorMinor(names.release);
}

std::string LinuxSystemInfo::MemoryLoaded() {
  std::string meminfo = ReadProcFile("/proc/meminfo");
  int load = MemoryLoadPercent(ProcField(meminfo, "MemTotal"),
                               ProcField(meminfo, "MemAvailable"));
  char text[16];
  std::snprintf(text, sizeof text, "%d %%", load);
  return text;
}

std::string LinuxSystemInfo::Computername() {
  // HOST_NAME_MAX is 64; one more for the terminator gethostname may omit.
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return kUnknownComputer;
  return ComputerNameFromHostName(name);
}

}  // namespace kvx
