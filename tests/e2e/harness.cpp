#include "e2e/harness.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "e2e/operator_texts.h"

extern char** environ;

namespace kvx::e2e {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr char kServerBinary[] = KVX_SERVER_BINARY;

int StatusOf(int wait_status) {
  if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
  if (WIFSIGNALED(wait_status)) return 128 + WTERMSIG(wait_status);
  return -1;
}

// This process's environment with `overrides` set and `removed` taken out.
std::vector<std::string> MergedEnvironment(
    const Environment& overrides, const std::set<std::string>& removed = {}) {
  std::map<std::string, std::string> vars;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const auto eq = entry.find('=');
    if (eq != std::string::npos)
      vars[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (const auto& name : removed) vars.erase(name);
  for (const auto& [name, value] : overrides) vars[name] = value;
  std::vector<std::string> out;
  for (const auto& [name, value] : vars) out.push_back(name + "=" + value);
  return out;
}

// Starts `program` with stdin from /dev/null and stdout/stderr appended to
// the two files, default signal dispositions and an empty signal mask.
pid_t Spawn(const std::string& program, const std::vector<std::string>& args,
            const std::vector<std::string>& env, const std::string& out_path,
            const std::string& err_path) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(),
                                   O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(),
                                   O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigset_t all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr,
                           POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<std::string> argv_text{program};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_text = env;
  std::vector<char*> envp;
  for (auto& e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);

  pid_t pid = -1;
  const int rc = posix_spawn(&pid, program.c_str(), &actions, &attr,
                             argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    ADD_FAILURE() << "cannot start " << program << ": " << std::strerror(rc);
    return -1;
  }
  return pid;
}

// Waits for `pid` until `deadline`; the status, or nullopt on time-out.
std::optional<int> WaitUntil(pid_t pid, Clock::time_point deadline) {
  for (;;) {
    int status = 0;
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) return StatusOf(status);
    if (r < 0 && errno != EINTR) return -1;
    if (Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace

RunResult RunProgram(const std::string& program,
                     const std::vector<std::string>& args,
                     const Environment& env, milliseconds timeout) {
  TempDir io("kvx-run");
  const std::string out = io.path() + "/stdout";
  const std::string err = io.path() + "/stderr";
  RunResult result;
  const pid_t pid =
      Spawn(program, args, MergedEnvironment(env, {"NOTIFY_SOCKET"}), out, err);
  if (pid < 0) return result;
  const auto status = WaitUntil(pid, Clock::now() + timeout);
  if (!status) {
    ADD_FAILURE() << program << " did not end within " << timeout.count()
                  << " ms; killed";
    ::kill(pid, SIGKILL);
    result.exit_status = WaitUntil(pid, Clock::now() + kTimeout).value_or(-1);
  } else {
    result.exit_status = *status;
  }
  result.out = ReadWholeFile(out);
  result.err = ReadWholeFile(err);
  return result;
}

pid_t StartProgram(const std::string& program,
                   const std::vector<std::string>& args,
                   const std::string& out_path, const std::string& err_path) {
  return Spawn(program, args, MergedEnvironment({}, {"NOTIFY_SOCKET"}),
               out_path, err_path);
}

std::optional<int> WaitForProgram(pid_t pid, milliseconds timeout) {
  return WaitUntil(pid, Clock::now() + timeout);
}

std::string ConfigWith(const std::string& program_directory,
                       const std::map<std::string, std::string>& settings) {
  std::string text = TemplateText(program_directory);
  for (const auto& [name, value] : settings) {
    const std::string open = "<" + name + ">";
    const auto start = text.find(open);
    const auto end = text.find("</" + name + ">");
    if (start == std::string::npos || end == std::string::npos) {
      // An optional element the template does not write: added before the
      // closing tag of the root, on a line of its own.
      const auto root_end = text.rfind("</");
      if (root_end == std::string::npos) {
        ADD_FAILURE() << "the template has no root element";
        continue;
      }
      const std::string eol =
          text.find("\r\n") != std::string::npos ? "\r\n" : "\n";
      text.insert(root_end, open + value + "</" + name + ">" + eol);
      continue;
    }
    text.replace(start + open.size(), end - start - open.size(), value);
  }
  return text;
}

// The frames

const std::string kComMessage =
    R"(<MSG tag="7" type="COM"><Verzender>ab</Verzender><Ontvanger>cd</Ontvanger></MSG>)";
// SOH, 108, STX, the message's base64, EOT.
const std::string kComFrame =
    "\x01"
    "108\x02"
    "PE1TRyB0YWc9IjciIHR5cGU9IkNPTSI+PFZlcnplbmRlcj5hYjwvVmVyemVuZGVyPjxPbnR2"
    "YW5nZXI+Y2Q8L09udHZhbmdlcj48L01TRz4=\x04";
// Tag 7, sender and receiver swapped, version 1.0.
const std::string kInfFrame =
    "\x01"
    "256\x02"
    "PD94bWwgdmVyc2lvbj0iMS4wIiA/Pg0KPE1TRyB0YWc9IjciIHR5cGU9IklORiIgcHJvdG9j"
    "b2w9IkNPTl9LViIgdmVyc2llPSIxLjAiPg0KPFZlcnplbmRlcj5jZDwvVmVyemVuZGVyPg0K"
    "PE9udHZhbmdlcj5hYjwvT250dmFuZ2VyPg0KPEthdmVybz4NCjxLYXZlcm9JbmZvPjwvS2F2"
    "ZXJvSW5mbz4NCjwvS2F2ZXJvPg0KPC9NU0c+DQo=\x04";

std::vector<std::string> FileNames(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end;
       it.increment(ec)) {
    names.push_back(it->path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

bool IsFileStamp(const std::string& stamp) {
  if (stamp.size() < 16 || stamp.size() > 18) return false;
  if (stamp.find_first_not_of("0123456789") != std::string::npos) return false;
  const int month = std::stoi(stamp.substr(2, 2));
  const int hour = std::stoi(stamp.substr(8, 2));
  const int minute = std::stoi(stamp.substr(10, 2));
  const int second = std::stoi(stamp.substr(12, 2));
  return month >= 1 && month <= 12 && hour < 24 && minute < 60 && second < 60 &&
         stamp.substr(14) == std::to_string(month) + std::to_string(second);
}

// ServiceProcess

ServiceProcess::ServiceProcess(const std::string& directory_name)
    : root_("kvx-e2e"),
      dir_(root_.path() + "/" + directory_name + "/"),
      unit_dir_(root_.path() + "/units"),
      events_path_(root_.path() + "/events.jsonl") {
  fs::create_directory(dir_);
  fs::create_directory(unit_dir_);
  fs::copy_file(kServerBinary, program());
}

ServiceProcess::~ServiceProcess() {
  if (pid_ > 0 && !exit_status_) {
    ::kill(pid_, SIGKILL);
    Reap(true);
  }
}

void ServiceProcess::WriteFile(const std::string& relative,
                               const std::string& bytes) const {
  std::ofstream out(dir_ + relative, std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out.flush()) ADD_FAILURE() << "cannot write " << dir_ + relative;
}

std::string ServiceProcess::ReadFile(const std::string& relative) const {
  return ReadWholeFile(dir_ + relative);
}

Environment ServiceProcess::ServiceEnvironment(const Environment& extra) const {
  Environment env{{"KVX_EVENT_LOG", events_path_},
                  {"KVX_SYSTEMD_UNIT_DIR", unit_dir_}};
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

void ServiceProcess::Start(const std::vector<std::string>& args,
                           const Environment& env) {
  StartUnder({}, args, env);
}

void ServiceProcess::StartUnder(const std::vector<std::string>& launcher,
                                const std::vector<std::string>& args,
                                const Environment& env) {
  ASSERT_TRUE(pid_ < 0 || exit_status_) << "started while still running";
  exit_status_.reset();
  events_before_start_ = Events().size();
  std::vector<std::string> command = launcher;
  command.push_back(program());
  command.insert(command.end(), args.begin(), args.end());
  pid_ = Spawn(command.front(), {command.begin() + 1, command.end()},
               MergedEnvironment(ServiceEnvironment(env), {"NOTIFY_SOCKET"}),
               root_.path() + "/stdout", root_.path() + "/stderr");
}

std::uint16_t ServiceProcess::StartListening(
    const std::map<std::string, std::string>& settings) {
  const std::uint16_t port = FreeTcpPort();
  auto all = settings;
  all.emplace("Binding", "127.0.0.1");
  all["Port"] = std::to_string(port);
  WriteFile("KvxTCPConfig.xml", ConfigWith(dir_, all));
  Start();
  if (!WaitForEvent(ListenerStartedText(all["Binding"], port))) {
    ADD_FAILURE() << "the listener did not start; stderr: " << Stderr();
    return 0;
  }
  return port;
}

bool ServiceProcess::Stop() {
  Signal(SIGTERM);
  return WaitForExit() == 0;
}

RunResult ServiceProcess::Run(const std::vector<std::string>& args,
                              const Environment& env) const {
  return RunProgram(program(), args, ServiceEnvironment(env));
}

std::vector<JsonEvent> ServiceProcess::Events() const {
  std::string bytes = ReadWholeFile(events_path_);
  // A line still being written has no '\n' yet; leave it for the next look.
  bytes.erase(bytes.rfind('\n') + 1);
  std::vector<JsonEvent> events;
  for (const auto& line : SplitLines(bytes)) {
    auto event = ParseJsonEvent(line);
    if (event) {
      events.push_back(std::move(*event));
    } else {
      ADD_FAILURE() << "event line that does not parse: " << line;
    }
  }
  return events;
}

std::vector<std::string> ServiceProcess::Texts() const {
  std::vector<std::string> texts;
  for (const auto& e : Events()) texts.push_back(e.text);
  return texts;
}

std::vector<JsonEvent> ServiceProcess::EventsSinceStart() const {
  auto events = Events();
  events.erase(events.begin(),
               events.begin() + static_cast<std::ptrdiff_t>(std::min(
                                    events_before_start_, events.size())));
  return events;
}

std::optional<JsonEvent> ServiceProcess::WaitForEvent(const std::string& text,
                                                      milliseconds timeout) {
  return WaitForEventMatching(
      [&text](const JsonEvent& e) { return e.text == text; }, timeout);
}

std::optional<JsonEvent> ServiceProcess::WaitForEventMatching(
    const std::function<bool(const JsonEvent&)>& match, milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    // Look at the process first, so entries written just before its end
    // are still seen below.
    const bool ended = !Running();
    for (const auto& event : EventsSinceStart()) {
      if (match(event)) return event;
    }
    if (ended || Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(kPollInterval);
  }
}

void ServiceProcess::Signal(int sig) const {
  if (pid_ > 0 && !exit_status_) ::kill(pid_, sig);
}

bool ServiceProcess::Reap(bool wait) {
  if (exit_status_) return true;
  if (pid_ <= 0) return false;
  int status = 0;
  const pid_t r = ::waitpid(pid_, &status, wait ? 0 : WNOHANG);
  if (r == pid_) exit_status_ = StatusOf(status);
  return exit_status_.has_value();
}

bool ServiceProcess::Running() { return pid_ > 0 && !Reap(false); }

std::optional<int> ServiceProcess::WaitForExit(milliseconds timeout) {
  if (pid_ <= 0) return std::nullopt;
  if (!exit_status_) {
    if (auto status = WaitUntil(pid_, Clock::now() + timeout)) {
      exit_status_ = status;
    }
  }
  return exit_status_;
}

std::string ServiceProcess::Stdout() const {
  return ReadWholeFile(root_.path() + "/stdout");
}
std::string ServiceProcess::Stderr() const {
  return ReadWholeFile(root_.path() + "/stderr");
}

}  // namespace kvx::e2e
