#include "process_probe.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace kvx::bench {
namespace {

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::int64_t CountEntries(const std::string& directory) {
  DIR* d = ::opendir(directory.c_str());
  if (d == nullptr) return -1;
  std::int64_t n = 0;
  while (const dirent* e = ::readdir(d)) {
    if (e->d_name[0] != '.') ++n;
  }
  ::closedir(d);
  return n;
}

bool StartsWith(const char* name, const char* prefix) {
  return std::strncmp(name, prefix, std::strlen(prefix)) == 0;
}

bool EndsWith(const std::string& name, const char* suffix) {
  const std::size_t n = std::strlen(suffix);
  return name.size() >= n && name.compare(name.size() - n, n, suffix) == 0;
}

}  // namespace

ArchiveCount CountArchiveFiles(const std::string& directory) {
  ArchiveCount count;
  DIR* d = ::opendir(directory.c_str());
  if (d == nullptr) return count;
  while (const dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    // "TCP_COMx_" and "TCP_COM_" differ in their eighth character, so no
    // name counts twice.
    if (StartsWith(e->d_name, "TCP_COMx_") && EndsWith(name, ".TXT")) {
      ++count.raw;
    } else if (StartsWith(e->d_name, "TCP_COM_") && EndsWith(name, ".XML")) {
      ++count.decoded;
    }
  }
  ::closedir(d);
  count.ok = true;
  return count;
}

double ThreadCpuSeconds() {
  rusage usage{};
  if (::getrusage(RUSAGE_THREAD, &usage) != 0) return 0;
  const auto seconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

ProcessSample SampleProcess(pid_t pid) {
  ProcessSample sample;
  const std::string base = "/proc/" + std::to_string(pid);
  const std::string stat = ReadText(base + "/stat");
  // The command name may hold blanks: the fields start after its ')'.
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return sample;
  std::istringstream fields(stat.substr(close + 2));
  std::vector<std::string> f;
  for (std::string v; fields >> v;) f.push_back(v);
  // Field 3 (state) is f[0]; utime and stime are fields 14 and 15.
  if (f.size() < 13) return sample;
  const double tick = static_cast<double>(::sysconf(_SC_CLK_TCK));
  sample.cpu_seconds = (std::stod(f[11]) + std::stod(f[12])) / tick;
  std::istringstream status(ReadText(base + "/status"));
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0)
      sample.rss_kib = std::stoll(line.substr(6));
  }
  sample.open_fds = CountEntries(base + "/fd");
  sample.ok = true;
  return sample;
}

std::int64_t CountOpenFds(pid_t pid) {
  return CountEntries("/proc/" + std::to_string(pid) + "/fd");
}

pid_t FindProcess(const std::string& name) {
  DIR* d = ::opendir("/proc");
  if (d == nullptr) return -1;
  pid_t found = -1;
  int count = 0;
  while (const dirent* e = ::readdir(d)) {
    const pid_t pid = static_cast<pid_t>(std::atoi(e->d_name));
    if (pid <= 0) continue;
    std::string comm = ReadText("/proc/" + std::string(e->d_name) + "/comm");
    if (!comm.empty() && comm.back() == '\n') comm.pop_back();
    // The kernel keeps 15 characters of the name.
    if (comm == name.substr(0, 15)) {
      found = pid;
      ++count;
    }
  }
  ::closedir(d);
  return count == 1 ? found : -1;
}

ArchiveProbe::~ArchiveProbe() {
  if (keep_) return;
  for (const auto& name : names_) ::unlink(name.c_str());
}

bool ArchiveProbe::WriteWholeFile(const std::string& path,
                                  const std::string& bytes) {
  int fd = -1;
  if (!no_unnamed_files_) {
    fd = ::open(directory_.c_str(), O_WRONLY | O_TMPFILE | O_CLOEXEC, 0644);
    if (fd < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
      return false;
    }
    no_unnamed_files_ = fd < 0;
  }
  const bool unnamed = fd >= 0;
  if (!unnamed) {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return false;
  }
  bool ok = ::write(fd, bytes.data(), bytes.size()) ==
            static_cast<ssize_t>(bytes.size());
  if (ok && unnamed) {
    // As the service links them: through the descriptor where the kernel
    // allows it, else through /proc/self/fd.
    ok = link_by_descriptor_ &&
         ::linkat(fd, "", AT_FDCWD, path.c_str(), AT_EMPTY_PATH) == 0;
    if (!ok && (!link_by_descriptor_ || errno == ENOENT || errno == EPERM ||
                errno == EINVAL)) {
      const std::string proc = "/proc/self/fd/" + std::to_string(fd);
      ok = ::linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, path.c_str(),
                    AT_SYMLINK_FOLLOW) == 0;
      if (ok) link_by_descriptor_ = false;
    }
  }
  return ::close(fd) == 0 && ok;
}

ProbeFigures ArchiveProbe::Measure(int frames, std::size_t raw_size,
                                   std::size_t decoded_size) {
  const std::string raw(raw_size, 'r');
  const std::string decoded(decoded_size, 'd');
  const std::string prefix = directory_ + "/KVX_BENCH_" +
                             std::to_string(::getpid()) + "_" +
                             std::to_string(names_.size()) + "_";
  const auto start = std::chrono::steady_clock::now();
  const double cpu_start = ThreadCpuSeconds();
  bool ok = true;
  for (int i = 0; i < frames && ok; ++i) {
    names_.push_back(prefix + std::to_string(i) + "x.TXT");
    ok = WriteWholeFile(names_.back(), raw);
    names_.push_back(prefix + std::to_string(i) + ".XML");
    ok = ok && WriteWholeFile(names_.back(), decoded);
  }
  const std::chrono::duration<double> took =
      std::chrono::steady_clock::now() - start;
  const double cpu = ThreadCpuSeconds() - cpu_start;
  if (!ok || took.count() <= 0 || frames <= 0) return {};
  return {frames / took.count(), 1e6 * cpu / frames};
}

}  // namespace kvx::bench
