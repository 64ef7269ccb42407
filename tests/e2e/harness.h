// The end-to-end harness: runs the built KvxTCPServer in a temporary program
// directory and talks to it over loopback. Every test that starts the program
// begins with KVX_REQUIRE_PRIVATE_NETWORK(), so the service can never start
// (and broadcast) outside a private network namespace.
#ifndef KVX_TESTS_E2E_HARNESS_H_
#define KVX_TESTS_E2E_HARNESS_H_

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fakes/json_event.h"
#include "fakes/temp_dir.h"

namespace kvx::e2e {

using std::chrono::milliseconds;

// Generous enough for the sanitizer builds.
inline constexpr milliseconds kTimeout{15000};

// True when /proc/net/dev lists no interface but `lo`.
bool InPrivateNetworkNamespace();

#define KVX_REQUIRE_PRIVATE_NETWORK()                                      \
  do {                                                                     \
    if (!::kvx::e2e::InPrivateNetworkNamespace()) {                        \
      GTEST_SKIP() << "Not in a private network namespace; run under "     \
                      "unshare -rn (see scripts/test.sh). The service is " \
                      "never started outside one.";                        \
    }                                                                      \
  } while (0)

using Environment = std::vector<std::pair<std::string, std::string>>;

struct RunResult {
  int exit_status = -1;  // exit code, or 128 + signal
  std::string out;
  std::string err;
};

// Runs `program` to its end with `args`, this process's environment plus
// `env`, and stdin from /dev/null. The child is killed after `timeout`.
RunResult RunProgram(const std::string& program,
                     const std::vector<std::string>& args,
                     const Environment& env = {},
                     milliseconds timeout = kTimeout);

// The configuration template for `program_directory` (ending in '/'), as the
// service writes it: 30 lines, CR LF, Windows-1252.
std::string TemplateText(const std::string& program_directory);
// The template with the text of some elements replaced, e.g.
// ConfigWith(dir, {{"Port", "9201"}, {"OutputToFile", "False"}}).
std::string ConfigWith(const std::string& program_directory,
                       const std::map<std::string, std::string>& settings);

// The bytes of a file ("" when it cannot be read).
std::string ReadWholeFile(const std::string& path);

// A TCP port on 127.0.0.1 that nothing listens on right now.
std::uint16_t FreeTcpPort();

// One copy of the program in a fresh program directory, run as the service.
// The directory, its tree and the process (killed if still running) go away
// with the object.
class ServiceProcess {
 public:
  // `directory_name`: the program directory's own name (UTF-8), for tests
  // that need a particular one.
  explicit ServiceProcess(const std::string& directory_name = "prog");
  ~ServiceProcess();
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  // The program directory (UTF-8 path, ending in '/') and the program.
  const std::string& dir() const { return dir_; }
  std::string program() const { return dir_ + "KvxTCPServer"; }
  // The directory handed to INSTALL/UNINSTALL as KVX_SYSTEMD_UNIT_DIR.
  const std::string& unit_dir() const { return unit_dir_; }

  // Writes a file under the program directory before the start.
  void WriteFile(const std::string& relative, const std::string& bytes) const;
  std::string ReadFile(const std::string& relative) const;

  // Starts the program (again, once an earlier run has ended) with
  // KVX_EVENT_LOG=<events file>, KVX_SYSTEMD_UNIT_DIR = unit_dir(), no
  // NOTIFY_SOCKET, plus `env`; stdout and stderr captured.
  void Start(const std::vector<std::string>& args = {},
             const Environment& env = {});
  // Runs the copy to its end (INSTALL, UNINSTALL), with the same environment.
  RunResult Run(const std::vector<std::string>& args,
                const Environment& env = {}) const;

  // Every complete line of the event file so far (a line that does not parse
  // is a test failure).
  std::vector<JsonEvent> Events() const;
  std::vector<std::string> Texts() const;
  // Waits until an entry with exactly `text` (UTF-8) is there, written since
  // the latest Start(); nullopt when the time runs out or the process ended
  // without writing it.
  std::optional<JsonEvent> WaitForEvent(const std::string& text,
                                        milliseconds timeout = kTimeout);

  // The running process's id (-1 before the first Start).
  pid_t pid() const { return pid_; }
  void Signal(int sig) const;
  // The exit status (exit code, or 128 + signal), or nullopt on time-out.
  std::optional<int> WaitForExit(milliseconds timeout = kTimeout);
  bool Running();

  std::string Stdout() const;
  std::string Stderr() const;

 private:
  Environment ServiceEnvironment(const Environment& extra) const;
  bool Reap(bool wait);

  TempDir root_;
  std::string dir_;
  std::string unit_dir_;
  std::string events_path_;
  pid_t pid_ = -1;
  std::size_t events_before_start_ = 0;
  std::optional<int> exit_status_;
};

// A blocking loopback TCP client with deadlines.
class TcpClient {
 public:
  // Connects to 127.0.0.1:port, trying again until `timeout` (the listener
  // may still be starting). Check connected().
  explicit TcpClient(std::uint16_t port, milliseconds timeout = kTimeout);
  ~TcpClient();
  TcpClient(const TcpClient&) = delete;
  TcpClient& operator=(const TcpClient&) = delete;

  bool connected() const { return fd_ >= 0; }
  bool Send(const std::string& bytes);
  // Up to `n` bytes: fewer when the peer closes or `timeout` passes.
  std::string ReadExactly(std::size_t n, milliseconds timeout = kTimeout);
  void Close();
  // Closes with SO_LINGER 0, so the peer sees a reset instead of an end.
  void Reset();

 private:
  int fd_ = -1;
};

// A UDP socket bound to port 54200 that receives the status datagrams.
class UdpReceiver {
 public:
  UdpReceiver();
  ~UdpReceiver();
  UdpReceiver(const UdpReceiver&) = delete;
  UdpReceiver& operator=(const UdpReceiver&) = delete;

  bool bound() const { return fd_ >= 0; }
  // The next datagram, or nullopt after `timeout`.
  std::optional<std::string> Receive(milliseconds timeout = kTimeout);

 private:
  int fd_ = -1;
};

}  // namespace kvx::e2e

#endif  // KVX_TESTS_E2E_HARNESS_H_
