#include "tools/arguments.h"

#include <charconv>
#include <cmath>

namespace kvx {

bool ArgumentReader::Next(std::string& name) {
  has_inline_value_ = false;
  std::string arg = args_.at(next_++);
  if (options_ended_ || arg == "-" || arg.size() < 2 || arg[0] != '-') {
    name = std::move(arg);
    return false;
  }
  if (arg == "--") {
    options_ended_ = true;
    if (Done()) {
      name.clear();
      return true;  // nothing follows: an option named "--" to ignore
    }
    return Next(name);
  }
  std::size_t equals = arg.find('=');
  if (arg.starts_with("--") && equals != std::string::npos) {
    has_inline_value_ = true;
    inline_value_ = arg.substr(equals + 1);
    arg.resize(equals);
  }
  name = std::move(arg);
  return true;
}

std::string ArgumentReader::Value(std::string_view option) {
  if (has_inline_value_) {
    has_inline_value_ = false;
    return inline_value_;
  }
  if (Done()) {
    throw UsageError("option " + std::string(option) + " needs a value");
  }
  return args_[next_++];
}

void ArgumentReader::NoValue(std::string_view option) const {
  if (has_inline_value_) {
    throw UsageError("option " + std::string(option) + " takes no value");
  }
}

namespace {

template <typename T>
bool ReadWhole(std::string_view text, T& value) {
  auto [end, ec] =
      std::from_chars(text.data(), text.data() + text.size(), value);
  return !text.empty() && ec == std::errc() && end == text.data() + text.size();
}

}  // namespace

std::uint16_t ParsePort(std::string_view text, std::string_view option) {
  unsigned value = 0;
  if (!ReadWhole(text, value) || value < 1 || value > 65535) {
    throw UsageError("option " + std::string(option) +
                     ": not a port (1 to 65535): " + std::string(text));
  }
  return static_cast<std::uint16_t>(value);
}

std::chrono::milliseconds ParseSeconds(std::string_view text,
                                       std::string_view option) {
  double seconds = 0;
  if (!ReadWhole(text, seconds) || !std::isfinite(seconds) || seconds <= 0 ||
      seconds > 86400.0 * 365) {
    throw UsageError(
        "option " + std::string(option) +
        ": not a positive number of seconds: " + std::string(text));
  }
  return std::chrono::milliseconds(
      static_cast<std::int64_t>(std::ceil(seconds * 1000)));
}

int ParseCount(std::string_view text, std::string_view option) {
  int value = 0;
  if (!ReadWhole(text, value) || value < 1) {
    throw UsageError("option " + std::string(option) +
                     ": not a count of 1 or more: " + std::string(text));
  }
  return value;
}

}  // namespace kvx
