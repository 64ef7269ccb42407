// Command-line reading shared by the operator tools.
#ifndef KVX_TOOLS_ARGUMENTS_H_
#define KVX_TOOLS_ARGUMENTS_H_

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kvx {

// A command line the tool cannot use; the message says why.
// The exit status of both tools for a command-line error.
inline constexpr int kExitUsage = 64;

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Walks the arguments after the program name. Options are "-x", "--name"
// and "--name=value"; a value may also be the next argument. "--" ends the
// options; "-" is a positional argument (standard input).
class ArgumentReader {
 public:
  explicit ArgumentReader(std::vector<std::string> args)
      : args_(std::move(args)) {}

  bool Done() const { return next_ >= args_.size(); }
  // Takes the next argument. Returns true when it is an option and sets
  // `name` to it (without "=value"); otherwise sets `name` to the
  // positional argument and returns false.
  bool Next(std::string& name);
  // The value of the option just taken; throws UsageError when missing.
  std::string Value(std::string_view option);
  // Throws UsageError when the option just taken carried "=value".
  void NoValue(std::string_view option) const;

 private:
  std::vector<std::string> args_;
  std::size_t next_ = 0;
  bool options_ended_ = false;
  bool has_inline_value_ = false;
  std::string inline_value_;
};

// A port 1 to 65535 in decimal; throws UsageError naming `option`.
std::uint16_t ParsePort(std::string_view text, std::string_view option);
// A positive number of seconds, fractions allowed ("2", "0.5").
std::chrono::milliseconds ParseSeconds(std::string_view text,
                                       std::string_view option);
// A count of 1 or more.
int ParseCount(std::string_view text, std::string_view option);

}  // namespace kvx

#endif  // KVX_TOOLS_ARGUMENTS_H_
