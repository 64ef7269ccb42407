// The systemd unit file of the service and the systemctl calls around it.
#include "platform/unit_installer.h"

#include <fcntl.h>
#include <pwd.h>
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
#include "platform/unique_fd.h"

extern char** environ;

namespace kvx {
namespace {

constexpr char kUnitName[] = "KaveroTCPIP.service";
constexpr char kDefaultUnitDirectory[] = "/etc/systemd/system";
constexpr char kDefaultUser[] = "kavero";

// The sandbox of the service: it needs its sockets (AF_NETLINK for the
// interface list), its own files and nothing of the rest of the system.
// A system call outside the filter fails with EPERM rather than killing
// the service.
constexpr char kSandbox[] =
    "UMask=0027\n"
    "LimitNOFILE=65536\n"
    "NoNewPrivileges=yes\n"
    "ProtectSystem=strict\n"
    "ProtectHome=yes\n"
    "PrivateTmp=yes\n"
    "PrivateDevices=yes\n"
    "PrivateMounts=yes\n"
    "ProtectKernelTunables=yes\n"
    "ProtectKernelModules=yes\n"
    "ProtectKernelLogs=yes\n"
    "ProtectControlGroups=yes\n"
    "ProtectClock=yes\n"
    "ProtectHostname=yes\n"
    "ProtectProc=invisible\n"
    "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6 AF_NETLINK\n"
    "RestrictNamespaces=yes\n"
    "RestrictRealtime=yes\n"
    "RestrictSUIDSGID=yes\n"
    "RemoveIPC=yes\n"
    "LockPersonality=yes\n"
    "MemoryDenyWriteExecute=yes\n"
    "SystemCallArchitectures=native\n"
    "SystemCallFilter=@system-service\n"
    "SystemCallFilter=~@privileged\n"
    "SystemCallErrorNumber=EPERM\n";

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
    throw PosixError("\"" + command + "\" could not be started: ", rc);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throw PosixError({}, errno);
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw KvxError("\"" + command + "\" failed with exit status " +
                   std::to_string(WIFEXITED(status) ? WEXITSTATUS(status)
                                                    : 128 + WTERMSIG(status)) +
                   ".");
  }
}

// A unit file is read line by line: a path with a control character in it
// cannot be written into one.
void CheckUnitPath(const std::string& utf8_path) {
  for (const char c : utf8_path) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7F) {
      throw KvxError("The path \"" + Utf8ToCp1252(utf8_path) +
                     "\" cannot be written into a systemd unit.");
    }
  }
}

// A path as systemd reads it back: quoted when it holds blanks, quotes or
// backslashes (those two escaped), '%' doubled, and '$' doubled where
// systemd expands variables (ExecStart=).
std::string UnitPathValue(const std::string& utf8_path, bool double_dollar) {
  CheckUnitPath(utf8_path);
  bool quote = false;
  std::string escaped;
  for (const char c : utf8_path) {
    if (c == '%' || (c == '$' && double_dollar)) {
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

// Names as useradd and systemd-sysusers accept them.
bool ValidUserName(const std::string& name) {
  if (name.empty() || name.size() > 32) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    const bool letter =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
    const bool other = (c >= '0' && c <= '9') || c == '-' || c == '.';
    if (!(letter || (i > 0 && other))) return false;
  }
  return true;
}

}  // namespace

std::string UnitDirectory() {
  const char* value = std::getenv("KVX_SYSTEMD_UNIT_DIR");
  if (value == nullptr || *value == '\0') return kDefaultUnitDirectory;
  return Utf8ToCp1252(value);
}

std::string ServiceUser() {
  const char* value = std::getenv("KVX_SERVICE_USER");
  if (value != nullptr) {
    const std::string name = value;
    if (!name.empty() && !ValidUserName(name)) {
      throw KvxError("The user name \"" + Utf8ToCp1252(name) +
                     "\" in KVX_SERVICE_USER is not valid.");
    }
    return name;
  }
  return ::getpwnam(kDefaultUser) != nullptr ? kDefaultUser : "";
}

std::string UnitFileText(const UnitOptions& options) {
  std::string text =
      "[Unit]\n"
      "Description=Kavero TCP Server\n"
      "\n"
      "[Service]\n"
      "Type=notify\n"
      "ExecStart=" +
      UnitPathValue(Cp1252ToUtf8(options.program_path), true) +
      "\n"
      // systemctl reload: the service reads its TLS files again.
      "ExecReload=/bin/kill -HUP $MAINPID\n"
      "WatchdogSec=30s\n"
      "Restart=on-failure\n";
  if (!options.user.empty()) {
    text += "User=" + options.user + "\nGroup=" + options.user + "\n";
  }
  text += kSandbox;
  if (!options.read_write_paths.empty()) {
    // '-': a path missing at start is passed over; the service then reports
    // the files it cannot write in its own words.
    text += "ReadWritePaths=";
    for (std::size_t i = 0; i < options.read_write_paths.size(); ++i) {
      if (i > 0) text += ' ';
      text +=
          UnitPathValue("-" + Cp1252ToUtf8(options.read_write_paths[i]), false);
    }
    text += '\n';
  }
  if (options.bind_low_port) {
    text +=
        "CapabilityBoundingSet=CAP_NET_BIND_SERVICE\n"
        "AmbientCapabilities=CAP_NET_BIND_SERVICE\n";
  } else {
    text += "CapabilityBoundingSet=\n";
  }
  text +=
      "\n"
      "[Install]\n"
      "WantedBy=multi-user.target\n";
  return text;
}

void InstallUnit(const UnitOptions& options) {
  // Built before the file is created: a path it cannot hold leaves nothing.
  const std::string unit_text = UnitFileText(options);
  const std::string path = UnitPath();
  const std::string text_path = Utf8ToCp1252(path);
  // O_EXCL: an existing unit is left exactly as it is.
  UniqueFd fd(
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (!fd.valid() && errno == EEXIST) {
    throw KvxError("The service unit \"" + text_path + "\" already exists.");
  }
  if (!fd.valid()) throw CannotCreateFileError(text_path, errno);
  int error = WriteAll(fd.get(), unit_text);
  // The close's own failure is a delayed write error: the unit is not whole.
  if (const int close_error = fd.Close(); error == 0) error = close_error;
  if (error != 0) {
    ::unlink(path.c_str());
    throw PosixError({}, error);
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
    throw PosixError({}, errno);
  }
  const bool managed = ManagedBySystemd();
  if (managed) Systemctl({"disable", kUnitName});
  if (::unlink(path.c_str()) != 0) throw PosixError({}, errno);
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
