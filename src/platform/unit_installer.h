// Installing and removing the systemd unit of the service.
#ifndef KVX_PLATFORM_UNIT_INSTALLER_H_
#define KVX_PLATFORM_UNIT_INSTALLER_H_

#include <string>
#include <vector>

namespace kvx {

// The unit directory: KVX_SYSTEMD_UNIT_DIR, default /etc/systemd/system.
std::string UnitDirectory();

// What the unit says beyond the fixed sandbox: the program, who runs it and
// what it may write. Paths are texts (Windows-1252).
struct UnitOptions {
  std::string program_path;
  std::string user;  // also the group; empty: root
  // Everything else is read-only for the service. Each may be missing when
  // the service starts.
  std::vector<std::string> read_write_paths;
  bool bind_low_port = false;  // keep CAP_NET_BIND_SERVICE (port < 1024)
};

// The user the unit runs the service as: KVX_SERVICE_USER when set (empty:
// root), otherwise "kavero" when that user exists, otherwise root (empty).
// Throws KvxError when KVX_SERVICE_USER is not a valid user name.
std::string ServiceUser();

// The unit file: Type=notify, the watchdog (WatchdogSec=30s,
// Restart=on-failure) and the sandbox. ExecStart quotes a path with blanks
// and doubles '%' and '$', paths are quoted alike, so systemd reads exactly
// them. Throws KvxError when a path holds a control character, which a unit
// file cannot carry.
std::string UnitFileText(const UnitOptions& options);

// Writes KaveroTCPIP.service (Description "Kavero TCP Server", the text
// above, WantedBy=multi-user.target) and, when systemd runs and the unit
// directory is one systemd loads units from, reloads and enables it. Throws
// KvxError when the unit file exists already ("The service unit "<path>"
// already exists.", the file left unchanged), cannot be written ("Cannot
// create file ..."), or systemctl fails (the file removed again).
void InstallUnit(const UnitOptions& options);

// Disables and removes the unit. Throws KvxError when it does not exist
// ("The service unit "<path>" does not exist.") or cannot be removed.
void UninstallUnit();

// Removes a unit file that InstallUnit wrote when the install is undone
// (ServiceAfterInstall failed). Never throws.
void DeleteUnitQuietly();

}  // namespace kvx

#endif  // KVX_PLATFORM_UNIT_INSTALLER_H_
