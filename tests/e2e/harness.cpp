#include "e2e/harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

extern char** environ;

namespace kvx::e2e {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr char kServerBinary[] = KVX_SERVER_BINARY;
constexpr milliseconds kPollInterval{20};

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

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

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

}  // namespace

bool InPrivateNetworkNamespace() {
  std::ifstream in("/proc/net/dev");
  std::string line;
  std::set<std::string> interfaces;
  while (std::getline(in, line)) {
    const auto colon = line.find(':');
    if (colon == std::string::npos) continue;  // the two header lines
    const auto start = line.find_first_not_of(' ');
    interfaces.insert(line.substr(start, colon - start));
  }
  return interfaces == std::set<std::string>{"lo"};
}

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
  result.out = Slurp(out);
  result.err = Slurp(err);
  return result;
}

std::string TemplateText(const std::string& program_directory) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
         "<KaveroMMserver>\r\n"
         "<Timers>\r\n"
         "<HTTPTimer>10000</HTTPTimer>\r\n"
         "</Timers>\r\n"
         "<TCPServer>\r\n"
         "<Binding>127.0.0.1</Binding>\r\n"
         "<Port>9200</Port>\r\n"
         "</TCPServer>\r\n"
         "<TNCP>\r\n"
         "<Key>Morvek</Key>\r\n"
         "<TOSID>FFFFFFFFFF</TOSID>\r\n"
         "</TNCP>\r\n"
         "<Output>\r\n"
         "<OutputToFile>True</OutputToFile>\r\n"
         "<OutputDirectory>" +
         program_directory +
         "KvxTCPIP/XML</OutputDirectory>\r\n"
         "</Output>\r\n"
         "<SQL>\r\n"
         "<SQLServer>127.0.0.1</SQLServer>\r\n"
         "<SQLInlognaam>sa</SQLInlognaam>\r\n"
         "<SQLPaswoord>****</SQLPaswoord>\r\n"
         "<SQLDatabase></SQLDatabase>\r\n"
         "</SQL>\r\n"
         "<Serverdata>\r\n"
         "<Verzender>kav</Verzender>\r\n"
         "<Ontvanger>kav</Ontvanger>\r\n"
         "<Protocol>CON_KV</Protocol>\r\n"
         "<Versie>1.0</Versie>\r\n"
         "</Serverdata>\r\n"
         "</KaveroMMserver>\r\n";
}

std::string ConfigWith(const std::string& program_directory,
                       const std::map<std::string, std::string>& settings) {
  std::string text = TemplateText(program_directory);
  for (const auto& [name, value] : settings) {
    const std::string open = "<" + name + ">";
    const auto start = text.find(open);
    const auto end = text.find("</" + name + ">");
    if (start == std::string::npos || end == std::string::npos) {
      ADD_FAILURE() << "the template has no element " << name;
      continue;
    }
    text.replace(start + open.size(), end - start - open.size(), value);
  }
  return text;
}

std::string ReadWholeFile(const std::string& path) { return Slurp(path); }

std::uint16_t FreeTcpPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr = Loopback(0);
  socklen_t len = sizeof addr;
  std::uint16_t port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  ::close(fd);
  return port;
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
  return Slurp(dir_ + relative);
}

Environment ServiceProcess::ServiceEnvironment(const Environment& extra) const {
  Environment env{{"KVX_EVENT_LOG", events_path_},
                  {"KVX_SYSTEMD_UNIT_DIR", unit_dir_}};
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

void ServiceProcess::Start(const std::vector<std::string>& args,
                           const Environment& env) {
  ASSERT_TRUE(pid_ < 0 || exit_status_) << "started while still running";
  exit_status_.reset();
  events_before_start_ = Events().size();
  pid_ = Spawn(program(), args,
               MergedEnvironment(ServiceEnvironment(env), {"NOTIFY_SOCKET"}),
               root_.path() + "/stdout", root_.path() + "/stderr");
}

RunResult ServiceProcess::Run(const std::vector<std::string>& args,
                              const Environment& env) const {
  return RunProgram(program(), args, ServiceEnvironment(env));
}

std::vector<JsonEvent> ServiceProcess::Events() const {
  std::string bytes = Slurp(events_path_);
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

std::optional<JsonEvent> ServiceProcess::WaitForEvent(const std::string& text,
                                                      milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    // Look at the process first, so entries written just before its end
    // are still seen below.
    const bool ended = !Running();
    const auto events = Events();
    for (std::size_t i = events_before_start_; i < events.size(); ++i) {
      if (events[i].text == text) return events[i];
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
  return Slurp(root_.path() + "/stdout");
}
std::string ServiceProcess::Stderr() const {
  return Slurp(root_.path() + "/stderr");
}

// TcpClient

TcpClient::TcpClient(std::uint16_t port, milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  const sockaddr_in addr = Loopback(port);
  for (;;) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) ==
        0) {
      return;
    }
    Close();
    if (Clock::now() >= deadline) return;
    std::this_thread::sleep_for(kPollInterval);
  }
}

TcpClient::~TcpClient() { Close(); }

void TcpClient::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void TcpClient::Reset() {
  if (fd_ < 0) return;
  const linger abort_on_close{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort_on_close,
               sizeof abort_on_close);
  Close();
}

bool TcpClient::Send(const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n =
        ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

std::string TcpClient::ReadExactly(std::size_t n, milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  std::string data;
  while (data.size() < n && fd_ >= 0) {
    const auto left =
        std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd_, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    char buffer[4096];
    const ssize_t got =
        ::recv(fd_, buffer, std::min(sizeof buffer, n - data.size()), 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;  // closed by the peer, or an error
    data.append(buffer, static_cast<std::size_t>(got));
  }
  return data;
}

// UdpReceiver

UdpReceiver::UdpReceiver() {
  fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(54200);
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ADD_FAILURE() << "cannot bind UDP port 54200: " << std::strerror(errno);
    ::close(fd_);
    fd_ = -1;
  }
}

UdpReceiver::~UdpReceiver() {
  if (fd_ >= 0) ::close(fd_);
}

std::optional<std::string> UdpReceiver::Receive(milliseconds timeout) {
  if (fd_ < 0) return std::nullopt;
  pollfd p{fd_, POLLIN, 0};
  int ready;
  do {
    ready = ::poll(&p, 1, static_cast<int>(timeout.count()));
  } while (ready < 0 && errno == EINTR);
  if (ready <= 0) return std::nullopt;
  char buffer[65536];
  const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
  if (n < 0) return std::nullopt;
  return std::string(buffer, static_cast<std::size_t>(n));
}

}  // namespace kvx::e2e
