#include "platform/line_list.h"

#include "platform/codepage.h"
#include "platform/file_system.h"

namespace kvx {

void LineList::SetText(std::string_view text) {
  lines_.clear();
  text = text.substr(0, text.find('\0'));
  std::size_t start = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      lines_.emplace_back(text.substr(start, i - start));
      i += (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ? 2 : 1;
      start = i;
    } else {
      ++i;
    }
  }
  if (start < text.size()) lines_.emplace_back(text.substr(start));
}

std::string LineList::Text() const {
  std::string text;
  for (const auto& line : lines_) {
    text += line;
    text += "\r\n";
  }
  return text;
}

std::string LineListText(std::string_view data) {
  return LineList(data).Text();
}

void SaveLineList(FileSystem& files, const std::string& path,
                  const LineList& list) {
  files.WriteFile(path, list.Text());
}

LineList LoadLineList(FileSystem& files, const std::string& path) {
  return LineList(DecodeFileText(files.ReadFile(path)));
}

}  // namespace kvx
