// Line lists: ordered text lines set from one text and read back joined.
#ifndef KVX_CORE_LINE_LIST_H_
#define KVX_CORE_LINE_LIST_H_

#include <string>
#include <string_view>
#include <vector>

namespace kvx {

// Setting a line list from a text splits it at CR, at LF and at CR LF (LF CR
// is two line ends); a final line without a line end is still a line; the
// first NUL ends the text. Reading it back joins the lines with CR LF after
// every line, the last one included.
class LineList {
 public:
  LineList() = default;
  explicit LineList(std::string_view text) { SetText(text); }

  void SetText(std::string_view text);
  std::string Text() const;

  const std::vector<std::string>& Lines() const { return lines_; }
  void Add(std::string line) { lines_.push_back(std::move(line)); }
  void Clear() { lines_.clear(); }

 private:
  std::vector<std::string> lines_;
};

// The text obtained by setting a line list from `data` and reading it back.
std::string LineListText(std::string_view data);

}  // namespace kvx

#endif  // KVX_CORE_LINE_LIST_H_
