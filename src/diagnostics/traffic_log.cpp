#include "diagnostics/traffic_log.h"

#include <cstdio>

#include "core/codepage.h"
#include "core/digits.h"
#include "platform/file_system.h"
#include "platform/stamps.h"

namespace kvx {

std::string TrafficLogTime(const LocalTime& t) {
  std::string text;
  text.reserve(20);
  AppendPadded(text, t.day, 2);
  text += '-';
  AppendPadded(text, t.month, 2);
  text += '-';
  AppendPadded(text, t.year, 4);
  if (t.hour == 0 && t.minute == 0 && t.second == 0) return text;
  text += ' ';
  AppendClockTime(text, t);
  return text;
}

TServerInterceptLogFile::TServerInterceptLogFile(FileSystem& files,
                                                 Clock& clock,
                                                 std::string default_filename)
    : FFiles(files),
      FClock(clock),
      FDefaultFilename(std::move(default_filename)) {}

TServerInterceptLogFile::~TServerInterceptLogFile() = default;

void TServerInterceptLogFile::SetFilename(std::string filename) {
  MutexLock lock(FLock);
  FFilename = std::move(filename);
}

void TServerInterceptLogFile::EnableDailyFiles(std::string prefix) {
  MutexLock lock(FLock);
  FDailyPrefix = std::move(prefix);
}

std::string TServerInterceptLogFile::CurrentFilename() {
  MutexLock lock(FLock);
  return FFilename.empty() ? FDefaultFilename : FFilename;
}

void TServerInterceptLogFile::WriteRecord(std::string_view record) {
  if (record.empty()) return;
  const std::string bytes = ToUsAscii(record);
  MutexLock lock(FLock);
  if (!FDailyPrefix.empty()) {
    const LocalTime now = FClock.Now();
    if (FFile && (now.year != FOpened.year || now.month != FOpened.month ||
                  now.day != FOpened.day)) {
      // A new day: the record goes to a new file of its own.
      FFile.reset();
      FFilename = FDailyPrefix + FileStamp(now) + ".txt";
    }
    if (!FFile) FOpened = now;
  }
  if (!FFile) {
    // The file opened here stays the log for the rest of the process,
    // whatever name is set later.
    FFile = FFiles.OpenAppend(FFilename.empty() ? FDefaultFilename : FFilename);
  }
  FFile->Append(bytes);
}

TServerInterceptLogFileConnection::TServerInterceptLogFileConnection(
    TServerInterceptLogFile& log, std::string peer_id)
    : FLog(log), FPeerId(std::move(peer_id)) {}

void TServerInterceptLogFileConnection::Connected() {
  FLog.WriteRecord(FPeerId + " Stat Connected.\r\n");
}

void TServerInterceptLogFileConnection::Disconnected() {
  FLog.WriteRecord(FPeerId + " Stat Disconnected.\r\n");
}

void TServerInterceptLogFileConnection::Received(std::string_view bytes) {
  Data("Recv", bytes);
}

void TServerInterceptLogFileConnection::Sent(std::string_view bytes) {
  Data("Sent", bytes);
}

void TServerInterceptLogFileConnection::Data(std::string_view kind,
                                             std::string_view bytes) {
  // The time is taken before the log's lock, so records of different
  // connections may stand slightly out of time order.
  const std::string time = TrafficLogTime(FLog.clock().Now());
  FLog.WriteRecord(FPeerId + " " + std::string(kind) + " " + time + ": " +
                   std::string(bytes) + "\r\n");
}

}  // namespace kvx
