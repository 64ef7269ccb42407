#include "platform/line_list_file.h"

#include "core/codepage.h"
#include "platform/file_system.h"

namespace kvx {

void SaveLineList(FileSystem& files, const std::string& path,
                  const LineList& list) {
  files.WriteFile(path, list.Text());
}

void SaveLineListText(FileSystem& files, const std::string& path,
                      std::string_view data) {
  files.WriteFile(path, LineListText(data));
}

LineList LoadLineList(FileSystem& files, const std::string& path) {
  return LineList(DecodeFileText(files.ReadFile(path)));
}

}  // namespace kvx
