#include "core/line_list.h"

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

// The same text as LineList(data).Text(), built in one pass without the
// list: every frame step reads the receive buffer through it several times.
std::string LineListText(std::string_view data) {
  data = data.substr(0, data.find('\0'));
  std::string text;
  text.reserve(data.size() + 2);
  std::size_t i = 0;
  while (i < data.size()) {
    // A plain scan: find_first_of looks each byte up in the set.
    std::size_t end = i;
    while (end < data.size() && data[end] != '\r' && data[end] != '\n') ++end;
    if (end == data.size()) {
      text.append(data.substr(i));
      break;
    }
    text.append(data.substr(i, end - i));
    text += "\r\n";
    i = end +
        (data[end] == '\r' && end + 1 < data.size() && data[end + 1] == '\n'
             ? 2
             : 1);
    if (i == data.size()) return text;
  }
  if (!data.empty()) text += "\r\n";
  return text;
}

}  // namespace kvx
