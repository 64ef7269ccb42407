// What the benchmark reads about the service process and the machine: CPU
// time and resident memory from /proc, and the archive-file limit.
#ifndef KVX_BENCH_PROCESS_PROBE_H_
#define KVX_BENCH_PROCESS_PROBE_H_

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kvx::bench {

struct ProcessSample {
  bool ok = false;
  double cpu_seconds = 0;  // user + system time of every thread so far
  std::int64_t rss_kib = 0;
  std::int64_t open_fds = 0;
};

// Reads /proc/<pid>/stat, /proc/<pid>/status and counts /proc/<pid>/fd.
ProcessSample SampleProcess(pid_t pid);

// The number of open descriptors of the process (-1 when unknown).
std::int64_t CountOpenFds(pid_t pid);

// The pid of the one running process whose command name is `name`; -1 when
// there is none or more than one.
pid_t FindProcess(const std::string& name);

// Measures this machine's limit for the archive work: creates, writes and
// closes two files per frame (`raw_size` and `decoded_size` bytes) in
// `directory`, one writer, `frames` times, as the service's archive does.
// The files stay until the object goes, or for good with `keep`: files
// deleted while a service runs slow its own file creation (the file system
// skips recently freed inodes), which is not that service's doing.
class ArchiveProbe {
 public:
  ArchiveProbe(std::string directory, bool keep)
      : directory_(std::move(directory)), keep_(keep) {}
  ~ArchiveProbe();
  ArchiveProbe(const ArchiveProbe&) = delete;
  ArchiveProbe& operator=(const ArchiveProbe&) = delete;

  // Frames per second, or 0 when a file cannot be written.
  double Measure(int frames, std::size_t raw_size, std::size_t decoded_size);

 private:
  const std::string directory_;
  const bool keep_;
  std::vector<std::string> names_;
};

}  // namespace kvx::bench

#endif  // KVX_BENCH_PROCESS_PROBE_H_
