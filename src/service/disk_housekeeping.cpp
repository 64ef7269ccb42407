#include "service/disk_housekeeping.h"

#include <exception>
#include <utility>

#include "core/event_log.h"
#include "core/settings.h"
#include "platform/error.h"
#include "platform/file_system.h"

namespace kvx {
namespace {

constexpr std::uint32_t kCheckIntervalMs = 60000;
constexpr std::uint64_t kMiB = 1024 * 1024;

// Skips decimal digits from `at`; false when there are none.
bool Digits(std::string_view name, std::size_t& at) {
  const std::size_t start = at;
  while (at < name.size() && name[at] >= '0' && name[at] <= '9') ++at;
  return at > start;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// prefix + digits + [ "_" + digits ] + extension, exactly.
bool NameForm(std::string_view name, std::string_view prefix, bool numbered,
              std::string_view extension) {
  if (!StartsWith(name, prefix)) return false;
  std::size_t at = prefix.size();
  if (!Digits(name, at)) return false;
  if (numbered) {
    if (at >= name.size() || name[at] != '_') return false;
    ++at;
    if (!Digits(name, at)) return false;
  }
  return name.substr(at) == extension;
}

// Seconds of the local calendar since 1 January 1970, for ages in days.
std::int64_t CivilSeconds(const LocalTime& t) {
  // Days from civil (proleptic Gregorian), after H. Hinnant.
  const int y = t.year - (t.month <= 2 ? 1 : 0);
  const int era = (y >= 0 ? y : y - 399) / 400;
  const int yoe = y - era * 400;
  const int mp = (t.month + 9) % 12;
  const int doy = (153 * mp + 2) / 5 + t.day - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const std::int64_t days = std::int64_t{era} * 146097 + doe - 719468;
  return days * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
}

bool SameDate(const LocalTime& a, const LocalTime& b) {
  return a.year == b.year && a.month == b.month && a.day == b.day;
}

}  // namespace

bool IsArchiveName(std::string_view name) {
  return NameForm(name, "TCP_COMx_", true, ".TXT") ||
         NameForm(name, "TCP_COM_", true, ".XML") ||
         NameForm(name, "TCP_DIV_", true, ".XML");
}

bool IsLogName(std::string_view name) {
  return NameForm(name, "TCP_IC", false, ".txt") ||
         NameForm(name, "TCP_EX_", false, ".txt") ||
         NameForm(name, "TCP_LE_", false, ".txt") ||
         NameForm(name, "TCP_ST_", false, ".txt");
}

DiskHousekeeping::DiskHousekeeping(
    const Settings& settings, FileSystem& files, Clock& clock, EventLog& events,
    std::string logs_directory, std::function<std::string()> traffic_log_in_use)
    : settings_(settings),
      files_(files),
      clock_(clock),
      events_(events),
      logs_directory_(std::move(logs_directory)),
      traffic_log_in_use_(std::move(traffic_log_in_use)) {}

// Both are catch boundaries: the start and the timers go on whatever the
// disk does.
void DiskHousekeeping::Start() {
  try {
    RemoveLeftovers();
    CheckFreeSpace();
    Sweep();
  } catch (const std::exception& e) {
    events_.WriteEventLog(e.what(), EventType::kWarning);
  }
}

void DiskHousekeeping::Tick() {
  try {
    if (clock_.TickCount() - last_check_ >= kCheckIntervalMs) CheckFreeSpace();
    if (!SameDate(clock_.Now(), last_sweep_)) Sweep();
  } catch (const std::exception& e) {
    events_.WriteEventLog(e.what(), EventType::kWarning);
  }
}

std::optional<std::uint64_t> DiskHousekeeping::ArchiveFreeBytes() const {
  const std::int64_t free = archive_free_.load();
  if (free < 0) return std::nullopt;
  return static_cast<std::uint64_t>(free);
}

// One entry when a directory goes below the mark and one when it rises
// above again; a directory whose free space cannot be read keeps its state.
void DiskHousekeeping::CheckFreeSpace() {
  last_check_ = clock_.TickCount();
  const std::string directories[2] = {settings_.FOutputDirectory,
                                      logs_directory_};
  for (int i = 0; i < 2; ++i) {
    const std::optional<std::uint64_t> free =
        files_.FreeBytes(directories[i].empty() ? "/" : directories[i]);
    if (i == 0) {
      archive_free_.store(free ? static_cast<std::int64_t>(*free) : -1);
    }
    if (!free || settings_.FMinFreeDiskMB <= 0) continue;
    const std::uint64_t mark =
        static_cast<std::uint64_t>(settings_.FMinFreeDiskMB) * kMiB;
    const std::string free_mb = std::to_string(*free / kMiB);
    if (*free < mark && !below_[i].load()) {
      below_[i].store(true);
      events_.WriteEventLog(kDiskLowText + directories[i] + ": " + free_mb +
                                " MB vrij, minimum " +
                                std::to_string(settings_.FMinFreeDiskMB) +
                                " MB",
                            EventType::kWarning);
    } else if (*free >= mark && below_[i].load()) {
      below_[i].store(false);
      events_.WriteEventLog(
          kDiskOkText + directories[i] + ": " + free_mb + " MB vrij",
          EventType::kInformation);
    }
  }
}

void DiskHousekeeping::Sweep() {
  last_sweep_ = clock_.Now();
  if (settings_.FArchiveRetentionDays >= 1) {
    SweepDirectory(settings_.FOutputDirectory, settings_.FArchiveRetentionDays,
                   IsArchiveName, {});
  }
  if (settings_.FLogRetentionDays >= 1) {
    SweepDirectory(logs_directory_, settings_.FLogRetentionDays, IsLogName,
                   traffic_log_in_use_ ? traffic_log_in_use_() : std::string());
  }
}

void DiskHousekeeping::SweepDirectory(
    const std::string& directory, int days,
    const std::function<bool(std::string_view)>& matches,
    const std::string& keep) {
  const std::int64_t now = CivilSeconds(clock_.Now());
  const std::int64_t max_age = std::int64_t{days} * 86400;
  int removed = 0;
  int failed = 0;
  std::string first_failure;
  for (const DirectoryEntry& entry : files_.ListFiles(directory)) {
    if (!matches(entry.name)) continue;
    const std::string path = directory + "/" + entry.name;
    if (path == keep || now - CivilSeconds(entry.modified) <= max_age) continue;
    if (const int err = files_.RemoveFile(path)) {
      if (failed++ == 0) {
        first_failure = entry.name + ": " + SystemErrorText(err);
      }
    } else {
      ++removed;
    }
  }
  if (removed > 0) {
    events_.WriteEventLog(
        kSweptText + std::to_string(removed) + kSweptMiddle + directory,
        EventType::kInformation);
  }
  if (failed > 0) {
    events_.WriteEventLog(kSweepFailedText + std::to_string(failed) +
                              kSweepFailedMiddle + directory + ", waaronder " +
                              first_failure,
                          EventType::kWarning);
  }
}

// Temporary files of archive files a crash interrupted: never archive
// names, never read by anyone, removed whole.
void DiskHousekeeping::RemoveLeftovers() {
  const std::string& directory = settings_.FOutputDirectory;
  int removed = 0;
  for (const DirectoryEntry& entry : files_.ListFiles(directory)) {
    if (StartsWith(entry.name, kTemporaryFilePrefix) &&
        files_.RemoveFile(directory + "/" + entry.name) == 0) {
      ++removed;
    }
  }
  if (removed > 0) {
    events_.WriteEventLog(
        kSweptText + std::to_string(removed) + kLeftoversMiddle + directory,
        EventType::kInformation);
  }
}

}  // namespace kvx
