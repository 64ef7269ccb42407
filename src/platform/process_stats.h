// Figures of the running process and its file systems, for /metrics.
#ifndef KVX_PLATFORM_PROCESS_STATS_H_
#define KVX_PLATFORM_PROCESS_STATS_H_

#include <cstdint>
#include <optional>
#include <string>

namespace kvx {

// Bytes an unprivileged writer may still use on the file system holding
// `path` (a text); nullopt when it cannot be asked.
std::optional<std::uint64_t> FreeBytes(const std::string& path);

// The resident memory of this process, from /proc/self/statm.
std::optional<std::uint64_t> ResidentBytes();

// How many file descriptors this process holds open.
std::optional<std::uint64_t> OpenFileDescriptors();

}  // namespace kvx

#endif  // KVX_PLATFORM_PROCESS_STATS_H_
