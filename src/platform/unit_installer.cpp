// The systemd unit file of the service and the systemctl calls around it.
#include "platform/unit_installer.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "core/codepage.h"
#include "platform/error.h"

extern char** environ;

namespace kvx {
namespace {

constexpr char kUnitName[] = "KaveroTCPIP.service";
constexpr char kDefaultUnitDirectory[] = "/etc/systemd/system";

// The directories systemd loads system units from. A unit written anywhere
// else (a staging or test directory) is only written: telling systemd about
// it would enable a unit that is not the one in that directory.
constexpr std::string_view kSystemdUnitDirectories[] = {
    "/etc/systemd/system", "/run/systemd/system",
    "/usr/local/lib/systemd/system", "/usr/lib/systemd/system",
    "/lib/systemd/system"};

std::string TrimSlashes(std::string dir) {
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

// The unit file's path in UTF-8, the file system's encoding.
std::string UnitPath() {
  return Cp1252ToUtf8(TrimSlashes(UnitDirectory())) + "/" + kUnitName;
}

bool ManagedBySystemd() {
  struct stat st {};
  if (::stat("/run/systemd/system", &st) != 0 || !S_ISDIR(st.st_mode)) {
    return false;
  }
  const std::string dir = TrimSlashes(UnitDirectory());
  for (const auto known : kSystemdUnitDirectories) {
    if (dir == known) return true;
  }
  return false;
}

// Runs systemctl with `args`. Throws KvxError naming the command when it
// cannot be started or does not succeed.
void Systemctl(const std::vector<std::string>& args) {
  std::vector<std::string> argv_text{"systemctl"};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  std::string command;
  for (auto& a : argv_text) {
    argv.push_back(a.data());
    command += (command.empty() ? "" : " ") + a;
  }
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int rc =
      ::posix_spawnp(&pid, "systemctl", nullptr, nullptr, argv.data(), environ);
  if (rc != 0) {
    throw KvxError("\"" + command +
                   "\" could not be started: " + SystemErrorText(rc));
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throw KvxError(SystemErrorText(errno));
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw KvxError("\"" + command + "\" failed with exit status " +
                   std::to_string(WIFEXITED(status) ? WEXITSTATUS(status)
                                                    : 128 + WTERMSIG(status)) +
                   ".");
  }
}

// ExecStart= takes a command line: the path is quoted when it holds blanks,
// quotes or backslashes, and '%' and '$' are doubled so systemd reads them
// as themselves.
std::string ExecStartValue(const std::string& utf8_path) {
  bool quote = false;
  std::string escaped;
  for (const char c : utf8_path) {
    if (c == '%' || c == '$') {
      escaped += c;
    } else if (c == '"' || c == '\\') {
      quote = true;
      escaped += '\\';
    } else if (c == ' ' || c == '\t' || c == '\'') {
      quote = true;
    }
    escaped += c;
  }
  return quote ? "\"" + escaped + "\"" : escaped;
}

void WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throw KvxError(SystemErrorText(errno));
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace

std::string UnitDirectory() {
  const char* value = std::getenv("KVX_SYSTEMD_UNIT_DIR");
  if (value == nullptr || *value == '\0') return kDefaultUnitDirectory;
  return Utf8ToCp1252(value);
}

std::string UnitFileText(const std::string& program_path) {
  return "[Unit]\n"
         "Description=Kavero TCP Server\n"
         "\n"
         "[Service]\n"
         "Type=notify\n"
         "ExecStart=" +
         ExecStartValue(Cp1252ToUtf8(program_path)) +
         "\n"
         "\n"
         "[Install]\n"
         "WantedBy=multi-user.target\n";
}

void InstallUnit(const std::string& program_path) {
  const std::string path = UnitPath();
  const std::string text_path = Utf8ToCp1252(path);
  // O_EXCL: an existing unit is left exactly as it is.
  const int fd =
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0 && errno == EEXIST) {
    throw KvxError("The service unit \"" + text_path + "\" already exists.");
  }
  if (fd < 0) throw KvxError(CannotCreateFileMessage(text_path, errno));
  try {
    WriteAll(fd, UnitFileText(program_path));
    if (::close(fd) != 0) throw KvxError(SystemErrorText(errno));
  } catch (...) {
    ::close(fd);
    ::unlink(path.c_str());
    throw;
  }
  if (!ManagedBySystemd()) return;
  try {
    Systemctl({"daemon-reload"});
    Systemctl({"enable", kUnitName});
  } catch (...) {
    DeleteUnitQuietly();
    throw;
  }
}

void UninstallUnit() {
  const std::string path = UnitPath();
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) {
      throw KvxError("The service unit \"" + Utf8ToCp1252(path) +
                     "\" does not exist.");
    }
    throw KvxError(SystemErrorText(errno));
  }
  const bool managed = ManagedBySystemd();
  if (managed) Systemctl({"disable", kUnitName});
  if (::unlink(path.c_str()) != 0) throw KvxError(SystemErrorText(errno));
  if (managed) Systemctl({"daemon-reload"});
}

void DeleteUnitQuietly() {
  const bool managed = ManagedBySystemd();
  try {
    if (managed) Systemctl({"disable", kUnitName});
  } catch (...) {
  }
  ::unlink(UnitPath().c_str());
  try {
    if (managed) Systemctl({"daemon-reload"});
  } catch (...) {
  }
}

}  // namespace kvx
