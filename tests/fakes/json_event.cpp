#include "fakes/json_event.h"

#include <cstdint>
#include <map>
#include <set>

#include "core/codepage.h"

namespace kvx {
namespace {

class Reader {
 public:
  explicit Reader(std::string_view s) : s_(s) {}
  bool Eat(char c) {
    if (pos_ < s_.size() && s_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  bool AtEnd() const { return pos_ == s_.size(); }
  bool Peek(char c) const { return pos_ < s_.size() && s_[pos_] == c; }

  std::optional<std::string> String() {
    if (!Eat('"')) return std::nullopt;
    std::string out;
    while (pos_ < s_.size()) {
      const char c = s_[pos_++];
      if (c == '"') return out;
      if (static_cast<unsigned char>(c) < 0x20) return std::nullopt;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (pos_ >= s_.size()) return std::nullopt;
      const char e = s_[pos_++];
      switch (e) {
        case '"':
        case '\\':
        case '/':
          out += e;
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          auto cp = Hex4();
          if (!cp) return std::nullopt;
          if (*cp >= 0xD800 && *cp < 0xDC00) {
            if (!Eat('\\') || !Eat('u')) return std::nullopt;
            const auto low = Hex4();
            if (!low || *low < 0xDC00 || *low > 0xDFFF) return std::nullopt;
            *cp = 0x10000 + ((*cp - 0xD800) << 10) + (*low - 0xDC00);
          }
          AppendUtf8(out, *cp);
          break;
        }
        default:
          return std::nullopt;
      }
    }
    return std::nullopt;
  }

  std::optional<int> Integer() {
    const bool negative = Eat('-');
    const std::size_t start = pos_;
    long long value = 0;
    while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') {
      value = value * 10 + (s_[pos_++] - '0');
      if (value > 1LL << 31) return std::nullopt;
    }
    if (pos_ == start) return std::nullopt;
    return static_cast<int>(negative ? -value : value);
  }

  // A JSON number without fraction or exponent, as its text.
  std::optional<std::string> IntegerText() {
    const std::size_t start = pos_;
    Eat('-');
    const std::size_t digits = pos_;
    while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') ++pos_;
    if (pos_ == digits || (s_[digits] == '0' && pos_ - digits > 1)) {
      return std::nullopt;
    }
    return std::string(s_.substr(start, pos_ - start));
  }

 private:
  std::optional<std::uint32_t> Hex4() {
    if (pos_ + 4 > s_.size()) return std::nullopt;
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = s_[pos_++];
      v <<= 4;
      if (c >= '0' && c <= '9') {
        v |= static_cast<std::uint32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        v |= static_cast<std::uint32_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        v |= static_cast<std::uint32_t>(c - 'A' + 10);
      } else {
        return std::nullopt;
      }
    }
    return v;
  }

  std::string_view s_;
  std::size_t pos_ = 0;
};

}  // namespace

std::optional<JsonEvent> ParseJsonEvent(std::string_view line) {
  Reader r(line);
  JsonEvent event;
  std::set<std::string> seen;
  if (!r.Eat('{')) return std::nullopt;
  do {
    const auto key = r.String();
    if (!key || !seen.insert(*key).second || !r.Eat(':')) return std::nullopt;
    if (*key == "time" || *key == "source" || *key == "text") {
      const auto value = r.String();
      if (!value) return std::nullopt;
      (*key == "time"     ? event.time
       : *key == "source" ? event.source
                          : event.text) = *value;
    } else if (*key == "type" || *key == "id" || *key == "category") {
      const auto value = r.Integer();
      if (!value) return std::nullopt;
      (*key == "type" ? event.type
       : *key == "id" ? event.id
                      : event.category) = *value;
    } else {
      return std::nullopt;
    }
  } while (r.Eat(','));
  if (!r.Eat('}') || !r.AtEnd() || seen.size() != 6) return std::nullopt;
  return event;
}

std::optional<std::map<std::string, JsonMember>> ParseFlatJsonObject(
    std::string_view line) {
  Reader r(line);
  std::map<std::string, JsonMember> members;
  if (!r.Eat('{')) return std::nullopt;
  if (r.Eat('}')) return r.AtEnd() ? std::optional(members) : std::nullopt;
  do {
    const auto key = r.String();
    if (!key || members.count(*key) != 0 || !r.Eat(':')) return std::nullopt;
    const bool is_string = r.Peek('"');
    const auto value = is_string ? r.String() : r.IntegerText();
    if (!value) return std::nullopt;
    members[*key] = JsonMember{is_string, *value};
  } while (r.Eat(','));
  if (!r.Eat('}') || !r.AtEnd()) return std::nullopt;
  return members;
}

std::vector<std::string> SplitLines(std::string_view bytes) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < bytes.size()) {
    const auto end = bytes.find('\n', start);
    if (end == std::string_view::npos) {
      lines.emplace_back(bytes.substr(start));
      break;
    }
    lines.emplace_back(bytes.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

}  // namespace kvx
