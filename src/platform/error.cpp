#include "platform/error.h"

#include <cstring>

namespace kvx {

std::string SystemErrorText(int error_number) {
  char buffer[256];
  // GNU strerror_r may return a static string instead of filling the buffer.
  const char* text = strerror_r(error_number, buffer, sizeof buffer);
  std::string result = text;
  if (result.empty() || result.back() != '.') result += '.';
  return result;
}

std::string CannotCreateFileMessage(std::string_view path, int error_number) {
  return "Cannot create file \"" + std::string(path) + "\". " +
         SystemErrorText(error_number);
}

std::string CannotOpenFileMessage(std::string_view path, int error_number) {
  return "Cannot open file \"" + std::string(path) + "\". " +
         SystemErrorText(error_number);
}

KvxError PosixError(std::string_view context, int error_number) {
  return KvxError(std::string(context) + SystemErrorText(error_number));
}

KvxError CannotCreateFileError(std::string_view path, int error_number) {
  return KvxError(CannotCreateFileMessage(path, error_number));
}

KvxError CannotOpenFileError(std::string_view path, int error_number) {
  return KvxError(CannotOpenFileMessage(path, error_number));
}

KvxError StreamWriteError(int error_number) {
  return PosixError("Stream write error: ", error_number);
}

std::string ExceptionText(const std::exception& e) {
  std::string text = e.what();
  try {
    std::rethrow_if_nested(e);
  } catch (const std::exception& inner) {
    text += "\r\n" + ExceptionText(inner);
  } catch (...) {
  }
  return text;
}

}  // namespace kvx
