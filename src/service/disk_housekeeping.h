// The watch over the disk of the archive and the logs: the free-space mark,
// the retention sweeps and the removal of temporary leftovers of a crash.
#ifndef KVX_SERVICE_DISK_HOUSEKEEPING_H_
#define KVX_SERVICE_DISK_HOUSEKEEPING_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/clock.h"

namespace kvx {

class EventLog;
class FileSystem;
struct Settings;

// True for the names of the three archive forms: "TCP_COMx_<d>_<d>.TXT",
// "TCP_COM_<d>_<d>.XML" and "TCP_DIV_<d>_<d>.XML" (d: decimal digits).
bool IsArchiveName(std::string_view name);
// True for the names of the traffic logs ("TCP_IC<d>.txt") and diagnostic
// files ("TCP_EX_", "TCP_LE_", "TCP_ST_" + "<d>.txt").
bool IsLogName(std::string_view name);

// Operator texts (Windows-1252); the parts in between are the directory,
// the figures and the system's text.
inline constexpr char kDiskLowText[] =
    "Kavero TCP/IP server heeft weinig vrije schijfruimte in ";
inline constexpr char kDiskOkText[] =
    "Kavero TCP/IP server heeft weer voldoende vrije schijfruimte in ";
inline constexpr char kSweptText[] = "Kavero TCP/IP server heeft ";
inline constexpr char kSweptMiddle[] = " oude bestanden verwijderd uit ";
inline constexpr char kSweepFailedText[] = "Kavero TCP/IP server kon ";
inline constexpr char kSweepFailedMiddle[] =
    " oude bestanden niet verwijderen uit ";
inline constexpr char kLeftoversMiddle[] =
    " onvolledige tijdelijke bestanden verwijderd uit ";

// Owned by the service module; Start and Tick run on the service thread,
// the getters on any. `settings`, `files`, `clock` and `events` must
// outlive it. `traffic_log_in_use` names the traffic log that a log sweep
// must keep (empty: none).
class DiskHousekeeping {
 public:
  DiskHousekeeping(const Settings& settings, FileSystem& files, Clock& clock,
                   EventLog& events, std::string logs_directory,
                   std::function<std::string()> traffic_log_in_use);
  DiskHousekeeping(const DiskHousekeeping&) = delete;
  DiskHousekeeping& operator=(const DiskHousekeeping&) = delete;

  // At service start, once the settings are read and before the listener
  // starts: removes the temporary files a crash left in the archive
  // directory, checks the free space and runs the retention sweeps.
  void Start();
  // Checks the free space when a minute has passed since the last check,
  // and sweeps at the first tick of a new local day.
  void Tick();

  // For the operator's counters.
  std::optional<std::uint64_t> ArchiveFreeBytes() const;
  bool BelowMark() const { return below_[0].load() || below_[1].load(); }

 private:
  void CheckFreeSpace();
  void Sweep();
  // Deletes files of `directory` that `keep` does not hold back and that
  // are older than `days`; one entry for what went, one for what did not.
  void SweepDirectory(const std::string& directory, int days,
                      const std::function<bool(std::string_view)>& matches,
                      const std::string& keep);
  void RemoveLeftovers();

  const Settings& settings_;
  FileSystem& files_;
  Clock& clock_;
  EventLog& events_;
  const std::string logs_directory_;  // no '/' at the end
  std::function<std::string()> traffic_log_in_use_;
  std::uint32_t last_check_ = 0;                 // TickCount of the last check
  LocalTime last_sweep_;                         // its date counts
  std::atomic<bool> below_[2] = {false, false};  // archive, logs
  std::atomic<std::int64_t> archive_free_{-1};   // -1: unknown
};

}  // namespace kvx

#endif  // KVX_SERVICE_DISK_HOUSEKEEPING_H_
