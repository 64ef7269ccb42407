#include "platform/unique_fd.h"

#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace kvx {

void UniqueFd::reset(int fd) noexcept {
  if (fd == fd_) return;
  Close();
  fd_ = fd;
}

int UniqueFd::Close() noexcept {
  if (fd_ < 0) return 0;
  // Emptied before the call: on Linux close releases the number whatever it
  // reports (EINTR included), so it must never be retried.
  const int fd = release();
  return ::close(fd) == 0 ? 0 : errno;
}

int WriteAll(int fd, std::string_view bytes) noexcept {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    // A write that takes nothing would repeat for ever.
    if (n == 0) return EIO;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return 0;
}

}  // namespace kvx
