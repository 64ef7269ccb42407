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

// The archive files of the service in one directory, by name form.
struct ArchiveCount {
  bool ok = false;           // the directory could be read
  std::int64_t raw = 0;      // TCP_COMx_<stamp>_<n>.TXT
  std::int64_t decoded = 0;  // TCP_COM_<stamp>_<n>.XML
};

// Counts the raw and decoded COM archive files in `directory`.
ArchiveCount CountArchiveFiles(const std::string& directory);

// The CPU time (user + system) this thread has used so far, in seconds.
double ThreadCpuSeconds();

struct ProbeFigures {
  double frames_per_second = 0;  // 0 when a file cannot be written
  double cpu_us_per_frame = 0;   // this thread's CPU time per frame
};

// Measures this machine's limit for the archive work: writes two whole files
// per frame (`raw_size` and `decoded_size` bytes) in `directory`, one writer,
// `frames` times, as the service's archive does: each file unnamed, written,
// linked under its name (a fresh one, never replacing) and closed. Where the
// file system has no unnamed files, each file is created exclusively instead.
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

  // Frames per second and CPU time per frame of one measurement.
  ProbeFigures Measure(int frames, std::size_t raw_size,
                       std::size_t decoded_size);

 private:
  bool WriteWholeFile(const std::string& path, const std::string& bytes);

  const std::string directory_;
  const bool keep_;
  bool no_unnamed_files_ = false;
  bool link_by_descriptor_ = true;
  std::vector<std::string> names_;
};

}  // namespace kvx::bench

#endif  // KVX_BENCH_PROCESS_PROBE_H_
