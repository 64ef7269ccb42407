// Reads back the lines of the JSON event-log file, independently of the
// code that writes them.
#ifndef KVX_TESTS_FAKES_JSON_EVENT_H_
#define KVX_TESTS_FAKES_JSON_EVENT_H_

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kvx {

// One entry; texts are UTF-8 with every JSON escape decoded.
struct JsonEvent {
  std::string time;
  std::string source;
  int type = 0;
  int id = 0;
  int category = 0;
  std::string text;
};

// Parses one line holding one flat JSON object with exactly the six members
// of an entry (strings and integers only). nullopt when the line is not such
// an object: bad syntax, a raw control character inside a string, a missing,
// repeated or unknown member, or anything after the closing brace.
std::optional<JsonEvent> ParseJsonEvent(std::string_view line);

// A member of a flat JSON object: a string (escapes decoded, UTF-8) or an
// integer (its text).
struct JsonMember {
  bool is_string = false;
  std::string value;
};

// Parses one line holding one flat JSON object whose members are strings
// and integers only; nullopt on bad syntax, a raw control character inside
// a string, a repeated member or anything after the closing brace.
std::optional<std::map<std::string, JsonMember>> ParseFlatJsonObject(
    std::string_view line);

// Splits a file's bytes into lines ('\n'); a final piece without '\n' is
// returned too, so a torn last line shows up as an unparsable one.
std::vector<std::string> SplitLines(std::string_view bytes);

}  // namespace kvx

#endif  // KVX_TESTS_FAKES_JSON_EVENT_H_
