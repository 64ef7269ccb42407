// FileSystem on POSIX calls, with RAII owners for every descriptor.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/codepage.h"
#include "platform/error.h"
#include "platform/file_system.h"

namespace kvx {
namespace {

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  // Closes now and reports the close's own failure (a delayed write error).
  int Close() {
    const int rc = ::close(fd_);
    fd_ = -1;
    return rc;
  }

 private:
  int fd_;
};

// Writes everything, retrying short writes; returns 0 or an errno value.
int WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return 0;
}

std::string SysPath(const std::string& path) { return Cp1252ToUtf8(path); }

class PosixAppendFile final : public AppendFile {
 public:
  PosixAppendFile(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}
  void Append(std::string_view bytes) override {
    if (const int err = WriteAll(fd_.get(), bytes)) {
      throw KvxError("Stream write error: " + SystemErrorText(err));
    }
  }

 private:
  std::string path_;
  Fd fd_;
};

}  // namespace

bool PosixFileSystem::DirectoryExists(const std::string& path) {
  struct stat st {};
  return ::stat(SysPath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool PosixFileSystem::CreateDirectory(const std::string& path) {
  return ::mkdir(SysPath(path).c_str(), 0755) == 0;
}

bool PosixFileSystem::FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(SysPath(path).c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

void PosixFileSystem::WriteFile(const std::string& path,
                                std::string_view bytes) {
  Fd fd(::open(SysPath(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
               0644));
  if (fd.get() < 0) throw KvxError(CannotCreateFileMessage(path, errno));
  int err = WriteAll(fd.get(), bytes);
  if (fd.Close() != 0 && err == 0) err = errno;
  if (err != 0) {
    // A half-written file (a full disk, a file size limit) would pass for a
    // whole one; the caller keeps the data and may write it again.
    ::unlink(SysPath(path).c_str());
    throw KvxError("Stream write error: " + SystemErrorText(err));
  }
}

std::string PosixFileSystem::ReadFile(const std::string& path) {
  Fd fd(::open(SysPath(path).c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) throw KvxError(CannotOpenFileMessage(path, errno));
  std::string content;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw KvxError(CannotOpenFileMessage(path, errno));
    }
    if (n == 0) break;
    content.append(buffer, static_cast<std::size_t>(n));
  }
  return content;
}

std::unique_ptr<AppendFile> PosixFileSystem::OpenAppend(
    const std::string& path) {
  const std::string sys = SysPath(path);
  int fd = ::open(sys.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0 && errno != ENOENT) {
    throw KvxError(CannotOpenFileMessage(path, errno));
  }
  if (fd < 0) {
    fd = ::open(sys.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) throw KvxError(CannotCreateFileMessage(path, errno));
  }
  return std::make_unique<PosixAppendFile>(path, fd);
}

}  // namespace kvx
