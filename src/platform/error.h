// Exception types of the service and the helper that turns errno into text.
#ifndef KVX_PLATFORM_ERROR_H_
#define KVX_PLATFORM_ERROR_H_

#include <stdexcept>
#include <string>
#include <string_view>

namespace kvx {

// A failure with an operator-readable message (a Windows-1252 text).
class KvxError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The silent exception that cancels an operation; whoever catches failures
// generically drops it without a report.
class Abort : public std::exception {
 public:
  const char* what() const noexcept override { return "Operation aborted"; }
};

// The system's description of an errno value, ending in a full stop
// ("No such file or directory.").
std::string SystemErrorText(int error_number);

// "Cannot create file "<path>". <system text>" and its "open" sibling. The
// path is a text (Windows-1252), as every path inside the program.
std::string CannotCreateFileMessage(std::string_view path, int error_number);
std::string CannotOpenFileMessage(std::string_view path, int error_number);

// The one conversion of a failed system call into the service's exception:
// `context` followed by the system's text of `error_number`, e.g.
// PosixError("cannot send to 10.0.0.1:9200: ", EPIPE). An empty context
// gives the system's text alone.
KvxError PosixError(std::string_view context, int error_number);
// The same for the failures that have texts of their own.
KvxError CannotCreateFileError(std::string_view path, int error_number);
KvxError CannotOpenFileError(std::string_view path, int error_number);
// "Stream write error: <system text>".
KvxError StreamWriteError(int error_number);

// The message of an exception followed by those of its nested exceptions,
// outermost first, each after CR LF.
std::string ExceptionText(const std::exception& e);

}  // namespace kvx

#endif  // KVX_PLATFORM_ERROR_H_
