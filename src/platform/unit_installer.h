// Installing and removing the systemd unit of the service.
#ifndef KVX_PLATFORM_UNIT_INSTALLER_H_
#define KVX_PLATFORM_UNIT_INSTALLER_H_

#include <string>

namespace kvx {

// The unit directory: KVX_SYSTEMD_UNIT_DIR, default /etc/systemd/system.
std::string UnitDirectory();

// The unit file for `program_path` (a text): ExecStart quotes a path with
// blanks and doubles '%' and '$', so systemd starts exactly that file.
std::string UnitFileText(const std::string& program_path);

// Writes KaveroTCPIP.service (Description "Kavero TCP Server", Type=notify,
// ExecStart=<program_path>, WantedBy=multi-user.target) and, when systemd
// runs and the unit directory is one systemd loads units from, reloads and
// enables it. Throws KvxError when the unit file exists already ("The service
// unit "<path>" already exists.", the file left unchanged), cannot be written
// ("Cannot create file ..."), or systemctl fails (the file removed again).
void InstallUnit(const std::string& program_path);

// Disables and removes the unit. Throws KvxError when it does not exist
// ("The service unit "<path>" does not exist.") or cannot be removed.
void UninstallUnit();

// Removes a unit file that InstallUnit wrote when the install is undone
// (ServiceAfterInstall failed). Never throws.
void DeleteUnitQuietly();

}  // namespace kvx

#endif  // KVX_PLATFORM_UNIT_INSTALLER_H_
