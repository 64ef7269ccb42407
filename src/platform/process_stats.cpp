#include "platform/process_stats.h"

#include <dirent.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <fstream>

#include "core/codepage.h"

namespace kvx {

std::optional<std::uint64_t> FreeBytes(const std::string& path) {
  struct statvfs st {};
  if (::statvfs(Cp1252ToUtf8(path).c_str(), &st) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(st.f_bavail) * st.f_frsize;
}

std::optional<std::uint64_t> ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  std::uint64_t size = 0;
  std::uint64_t resident = 0;
  if (!(statm >> size >> resident)) return std::nullopt;
  const long page = ::sysconf(_SC_PAGESIZE);
  if (page <= 0) return std::nullopt;
  return resident * static_cast<std::uint64_t>(page);
}

std::optional<std::uint64_t> OpenFileDescriptors() {
  DIR* dir = ::opendir("/proc/self/fd");
  if (!dir) return std::nullopt;
  std::uint64_t n = 0;
  while (const dirent* e = ::readdir(dir)) {
    if (e->d_name[0] != '.') ++n;
  }
  ::closedir(dir);
  return n > 0 ? n - 1 : 0;  // less the descriptor of the listing itself
}

}  // namespace kvx
