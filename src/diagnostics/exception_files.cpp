#include "diagnostics/exception_files.h"

#include "platform/clock.h"
#include "platform/error.h"
#include "platform/line_list_file.h"
#include "platform/stamps.h"

namespace kvx {

ExceptionFiles::ExceptionFiles(FileSystem& files, Clock& clock,
                               std::string program_directory)
    : files_(files),
      clock_(clock),
      program_directory_(std::move(program_directory)) {}

void ExceptionFiles::Save(std::string_view relative_prefix,
                          std::string_view text) {
  const LineList list(text);
  const std::string name = program_directory_ + std::string(relative_prefix) +
                           FileStamp(clock_.Now()) + ".txt";
  SaveLineList(files_, name, list);
}

void ExceptionFiles::TCPServerException(const std::exception& e) {
  Save("KvxTCPIP/Logs/TCP_EX_", ExceptionText(e));
}

void ExceptionFiles::TCPServerListenException(const std::exception& e) {
  Save("KvxTCPIP/Logs/TCP_LE_", ExceptionText(e));
}

void ExceptionFiles::TCPServerStatus(std::string_view status_text) {
  Save("KvxTCPIP/Logs/TCP_ST_", status_text);
}

void ExceptionFiles::ServerIOHandlerStack1Status(std::string_view status_text) {
  Save("KvxTCPData/Logs/TCP_HS_", status_text);
}

}  // namespace kvx
