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
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "e2e/loopback.h"
#include "fakes/config_template.h"
#include "fakes/json_event.h"
#include "fakes/network_namespace.h"
#include "fakes/read_file.h"
#include "fakes/temp_dir.h"
#include "fakes/wait_for.h"

namespace kvx::e2e {

#define KVX_REQUIRE_PRIVATE_NETWORK()                                      \
  do {                                                                     \
    if (!::kvx::InPrivateNetworkNamespace()) {                             \
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

// Starts `program` with `args` and this process's environment (without
// NOTIFY_SOCKET), stdin from /dev/null, stdout and stderr appended to the
// two files, and returns at once: the process id, or -1 (and a test
// failure) when it cannot start. The caller reaps it (WaitForProgram).
pid_t StartProgram(const std::string& program,
                   const std::vector<std::string>& args,
                   const std::string& out_path, const std::string& err_path);
// Waits for a child started by StartProgram: its exit status (exit code,
// or 128 + signal), or nullopt when `timeout` passes first.
std::optional<int> WaitForProgram(pid_t pid, milliseconds timeout = kTimeout);

// The template (TemplateText) with the text of some elements replaced, e.g.
// ConfigWith(dir, {{"Port", "9201"}, {"OutputToFile", "False"}}). An
// optional element the template lacks is added before the root's end.
std::string ConfigWith(const std::string& program_directory,
                       const std::map<std::string, std::string>& settings);

// A COM message framed by hand, and the INF frame the service answers it
// with under the template's settings (protocol CON_KV, version 1.0).
extern const std::string kComMessage;
extern const std::string kComFrame;
extern const std::string kInfFrame;

// Polls `done` every kPollInterval until it returns true (true) or
// `timeout` passes (false).
inline bool WaitFor(const std::function<bool()>& done,
                    milliseconds timeout = kTimeout) {
  return kvx::WaitFor(done, timeout, kPollInterval);
}

// The names of the entries of `dir`, sorted; empty when it cannot be read.
std::vector<std::string> FileNames(const std::string& dir);

// True when `stamp` is a file stamp: dd mm yyyy hh nn ss, then the month
// and the second again without leading zero (16 to 18 digits).
bool IsFileStamp(const std::string& stamp);

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
  // The same, with the program run by `launcher` (its path and arguments,
  // e.g. {"/usr/bin/unshare", "-n"}), which must exec the program in its own
  // process so that pid() and Signal() reach the service.
  void StartUnder(const std::vector<std::string>& launcher,
                  const std::vector<std::string>& args = {},
                  const Environment& env = {});

  // Writes the template configuration with `settings` on 127.0.0.1 and a
  // free port, starts, and waits for the listener's start entry. Returns the
  // port; 0 (and a test failure) when the listener does not start.
  std::uint16_t StartListening(
      const std::map<std::string, std::string>& settings = {});
  // SIGTERM, then waits for the end; true when the exit status is 0.
  bool Stop();

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
  // The same for the first entry since the latest Start() that `match`es.
  std::optional<JsonEvent> WaitForEventMatching(
      const std::function<bool(const JsonEvent&)>& match,
      milliseconds timeout = kTimeout);
  // The entries written since the latest Start().
  std::vector<JsonEvent> EventsSinceStart() const;

  void Signal(int sig) const;
  // The process id of the latest Start(), -1 before it.
  pid_t pid() const { return pid_; }
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

}  // namespace kvx::e2e

#endif  // KVX_TESTS_E2E_HARNESS_H_
