// One small text file per server exception or status notification.
#ifndef KVX_DIAGNOSTICS_EXCEPTION_FILES_H_
#define KVX_DIAGNOSTICS_EXCEPTION_FILES_H_

#include <exception>
#include <string>
#include <string_view>

namespace kvx {

class Clock;
class FileSystem;

// Writes each notification as its own file under the program directory:
// the prefix, FileStamp of the moment, ".txt". Two notifications of one
// kind within the same second share a name; the later replaces the earlier.
// Thread-safe; `files` and `clock` must outlive it.
class ExceptionFiles {
 public:
  ExceptionFiles(FileSystem& files, Clock& clock,
                 std::string program_directory);

  // Each throws KvxError ("Cannot create file ...") when the file cannot be
  // written; the server's hooks catch it so that no listener or connection
  // thread ever ends on a diagnostic file.
  void TCPServerException(const std::exception& e);        // TCP_EX_
  void TCPServerListenException(const std::exception& e);  // TCP_LE_
  void TCPServerStatus(std::string_view status_text);      // TCP_ST_
  // KvxTCPData/Logs is not part of the working tree and never created.
  void ServerIOHandlerStack1Status(std::string_view status_text);  // TCP_HS_

 private:
  void Save(std::string_view relative_prefix, std::string_view text);

  FileSystem& files_;
  Clock& clock_;
  const std::string program_directory_;
};

}  // namespace kvx

#endif  // KVX_DIAGNOSTICS_EXCEPTION_FILES_H_
