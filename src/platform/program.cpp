// The running program file, from /proc/self/exe.
#include "platform/program.h"

#include <unistd.h>

#include <cerrno>
#include <vector>

#include "core/codepage.h"
#include "platform/error.h"

namespace kvx {

std::string ProgramPath() {
  std::vector<char> buffer(4096);
  for (;;) {
    const ssize_t n =
        ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) throw PosixError({}, errno);
    if (static_cast<std::size_t>(n) < buffer.size()) {
      return Utf8ToCp1252(
          std::string_view(buffer.data(), static_cast<std::size_t>(n)));
    }
    buffer.resize(buffer.size() * 2);
  }
}

std::string ProgramDirectory() {
  const std::string path = ProgramPath();
  return path.substr(0, path.rfind('/') + 1);
}

}  // namespace kvx
