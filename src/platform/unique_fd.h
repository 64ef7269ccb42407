// The owner of one file descriptor, and the loop that writes a whole buffer
// to one.
#ifndef KVX_PLATFORM_UNIQUE_FD_H_
#define KVX_PLATFORM_UNIQUE_FD_H_

#include <string_view>

namespace kvx {

// Holds one descriptor (or none, -1) and closes it exactly once: at
// reset(), at Close() or at destruction, whichever comes first. Movable, not
// copyable. Thread-compatible.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }

  // Gives the descriptor up without closing it; the holder is then empty.
  int release() noexcept {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

  // Closes the descriptor held (a failure of that close is not reported)
  // and holds `fd` instead. Holding the same number again changes nothing.
  void reset(int fd = -1) noexcept;

  // Closes the descriptor now and gives 0, or the errno value of a close
  // that failed (a delayed write error). Either way the holder is empty
  // afterwards: the system releases the number even when close fails, and
  // the number may already belong to another file, so it is never closed a
  // second time. Nothing held: 0.
  int Close() noexcept;

 private:
  int fd_ = -1;
};

// Writes all of `bytes` to `fd`, continuing after short writes and after
// writes interrupted by a signal. Returns 0, or the errno value of the write
// that failed (EAGAIN on a non-blocking descriptor that is full); how many
// bytes went out before a failure is not told.
int WriteAll(int fd, std::string_view bytes) noexcept;

}  // namespace kvx

#endif  // KVX_PLATFORM_UNIQUE_FD_H_
