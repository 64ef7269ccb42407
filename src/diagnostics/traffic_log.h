// The traffic log: every byte every client sent and got, one record at a
// time, in one file per process.
#ifndef KVX_DIAGNOSTICS_TRAFFIC_LOG_H_
#define KVX_DIAGNOSTICS_TRAFFIC_LOG_H_

#include <memory>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/mutex.h"
#include "server/server_observer.h"

namespace kvx {

class AppendFile;
class FileSystem;

// "dd-mm-yyyy" + " " + "hh:nn:ss"; the date alone at exactly midnight.
std::string TrafficLogTime(const LocalTime& t);

// The shared log (`ServerInterceptLogFile1`). Thread-safe: records of all
// connections are serialised by its lock, so each reaches the file whole.
// Data records always carry their time, and line ends in the data are
// written unaltered.
// `files` and `clock` must outlive it.
class TServerInterceptLogFile {
 public:
  // `default_filename` is used when no Filename is set by the time the file
  // is opened (the program's path with ".log").
  TServerInterceptLogFile(FileSystem& files, Clock& clock,
                          std::string default_filename);
  ~TServerInterceptLogFile();
  TServerInterceptLogFile(const TServerInterceptLogFile&) = delete;
  TServerInterceptLogFile& operator=(const TServerInterceptLogFile&) = delete;

  // Takes effect only while the file has not been opened yet.
  void SetFilename(std::string filename);
  // From now on, the first record after local midnight closes the file and
  // opens `prefix` + FileStamp + ".txt" (TrafficLogDaily).
  void EnableDailyFiles(std::string prefix);
  // The file records go to (the name set, or the default).
  std::string CurrentFilename();
  Clock& clock() const { return FClock; }

  // Writes one record (US-ASCII) at the end of the file, opening the file
  // at the first record; a file that cannot be opened raises KvxError and
  // is tried again at the next record.
  void WriteRecord(std::string_view record);

 private:
  FileSystem& FFiles;
  Clock& FClock;
  const std::string FDefaultFilename;

  Mutex FLock;
  std::string FFilename GUARDED_BY(FLock);
  std::unique_ptr<AppendFile> FFile GUARDED_BY(FLock);  // set once opened
  std::string FDailyPrefix GUARDED_BY(FLock);           // empty: one file
  LocalTime FOpened GUARDED_BY(FLock);                  // date of FFile
};

// The per-connection log: turns one connection's events into records.
// Used on that connection's strand only. `log` must outlive it.
class TServerInterceptLogFileConnection final : public ConnectionTrace {
 public:
  // `peer_id` is the connection's "IP:port" ("0.0.0.0:0" without a
  // socket), taken at the accept so that the closing record still has it.
  TServerInterceptLogFileConnection(TServerInterceptLogFile& log,
                                    std::string peer_id);

  void Connected() override;
  void Disconnected() override;
  void Received(std::string_view bytes) override;
  void Sent(std::string_view bytes) override;

 private:
  void Data(std::string_view kind, std::string_view bytes);

  TServerInterceptLogFile& FLog;
  const std::string FPeerId;
};

}  // namespace kvx

#endif  // KVX_DIAGNOSTICS_TRAFFIC_LOG_H_
