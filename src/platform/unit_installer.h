// Installing and removing the systemd unit of the service.
#ifndef KVX_PLATFORM_UNIT_INSTALLER_H_
#define KVX_PLATFORM_UNIT_INSTALLER_H_

#include <string>

namespace kvx {

// The unit directory: KVX_SYSTEMD_UNIT_DIR, default /etc/systemd/system.
std::string UnitDirectory();

// Writes KaveroTCPIP.service (Description "Kavero TCP Server", Type=notify,
// ExecStart=<program_path>, WantedBy=multi-user.target) and, when systemd
// runs, reloads and enables it. Throws KvxError when the unit file exists
// already or cannot be written.
void InstallUnit(const std::string& program_path);

// Disables and removes the unit. Throws KvxError when it does not exist.
void UninstallUnit();

// Removes a unit file that InstallUnit wrote when the install is undone
// (ServiceAfterInstall failed). Never throws.
void DeleteUnitQuietly();

}  // namespace kvx

#endif  // KVX_PLATFORM_UNIT_INSTALLER_H_
