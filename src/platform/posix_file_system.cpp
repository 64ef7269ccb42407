// FileSystem on POSIX calls, with RAII owners for every descriptor.
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <set>
#include <vector>

#include "core/codepage.h"
#include "platform/error.h"
#include "platform/file_system.h"
#include "platform/unique_fd.h"

namespace kvx {
namespace {

std::string SysPath(const std::string& path) { return Cp1252ToUtf8(path); }

class PosixAppendFile final : public AppendFile {
 public:
  PosixAppendFile(std::string path, UniqueFd fd)
      : path_(std::move(path)), fd_(std::move(fd)) {}
  void Append(std::string_view bytes) override {
    if (const int err = WriteAll(fd_.get(), bytes)) throw StreamWriteError(err);
  }

 private:
  std::string path_;
  UniqueFd fd_;
};

// The directory part of a path: the text before its last '/' ("/" for a
// name in the root, "." for a name without a directory).
std::string DirectoryOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

class PosixSyncBatch final : public SyncBatch {
 public:
  std::size_t Size() const override { return files.size(); }
  std::vector<UniqueFd> files;
  std::set<std::string> directories;  // system paths
};

// Names the unnamed file `fd` as `sys`: through the descriptor itself
// where the kernel allows it (no path to look up), else through its
// /proc/self/fd entry, which older kernels demand of an unprivileged
// process. `by_descriptor` is cleared once the kernel has refused the first
// way while the second worked.
int LinkUnnamed(int fd, const std::string& sys,
                std::atomic<bool>& by_descriptor) {
  if (by_descriptor.load(std::memory_order_relaxed)) {
    if (::linkat(fd, "", AT_FDCWD, sys.c_str(), AT_EMPTY_PATH) == 0) return 0;
    const int err = errno;
    if (err != ENOENT && err != EPERM && err != EINVAL) return err;
  }
  const std::string proc = "/proc/self/fd/" + std::to_string(fd);
  if (::linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, sys.c_str(),
               AT_SYMLINK_FOLLOW) != 0) {
    return errno;
  }
  by_descriptor.store(false, std::memory_order_relaxed);
  return 0;
}

// Publishes the written file `fd` (unnamed when `temp` is empty) as `sys`
// without replacing anything: 0, or an errno value (EEXIST: name taken).
int Publish(int fd, const std::string& temp, const std::string& sys,
            std::atomic<bool>& by_descriptor) {
  if (temp.empty()) return LinkUnnamed(fd, sys, by_descriptor);
  int err = ::link(temp.c_str(), sys.c_str()) == 0 ? 0 : errno;
  if (err == EPERM || err == EOPNOTSUPP || err == ENOSYS) {
    // A file system without hard links: a rename that refuses to replace.
    err = ::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, sys.c_str(),
                      RENAME_NOREPLACE) == 0
              ? 0
              : errno;
    if (err == 0) return 0;
  }
  ::unlink(temp.c_str());
  return err;
}

}  // namespace

bool PosixFileSystem::CreateNew(const std::string& path, std::string_view bytes,
                                SyncBatch* batch) {
  const std::string sys = SysPath(path);
  const std::string dir = SysPath(DirectoryOf(path));
  // An unnamed file in the target directory, named only once it is whole;
  // where the file system has no unnamed files, a temporary name that is
  // never an archive name and is removed again in every case.
  std::string temp;
  UniqueFd fd;
  int open_err = EOPNOTSUPP;
  if (!no_unnamed_files_.load(std::memory_order_relaxed)) {
    fd.reset(::open(dir.c_str(), O_WRONLY | O_TMPFILE | O_CLOEXEC, 0644));
    open_err = errno;
  }
  if (!fd.valid()) {
    if (open_err != EOPNOTSUPP && open_err != EISDIR && open_err != EINVAL) {
      throw CannotCreateFileError(path, open_err);
    }
    no_unnamed_files_.store(true, std::memory_order_relaxed);
    temp = dir + "/" + kTemporaryFilePrefix + std::to_string(::getpid()) + "-" +
           std::to_string(temp_sequence_.fetch_add(1));
    fd.reset(
        ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (!fd.valid()) throw CannotCreateFileError(path, errno);
  }
  if (const int err = WriteAll(fd.get(), bytes)) {
    if (!temp.empty()) ::unlink(temp.c_str());
    throw StreamWriteError(err);
  }
  const int err = Publish(fd.get(), temp, sys, link_by_descriptor_);
  if (err == EEXIST) return false;
  if (err != 0) throw CannotCreateFileError(path, err);
  if (batch != nullptr) {
    auto& pending = static_cast<PosixSyncBatch&>(*batch);
    pending.files.push_back(std::move(fd));
    pending.directories.insert(dir);
  } else if (const int close_err = fd.Close()) {
    // A delayed write error: the file is not whole after all.
    ::unlink(sys.c_str());
    throw StreamWriteError(close_err);
  }
  return true;
}

std::unique_ptr<SyncBatch> PosixFileSystem::NewSyncBatch() {
  return std::make_unique<PosixSyncBatch>();
}

void PosixFileSystem::Sync(SyncBatch& batch) {
  auto& pending = static_cast<PosixSyncBatch&>(batch);
  int err = 0;
  // One commit of the file system per directory puts the data of every file
  // of the batch and their directory entries on stable storage together: a
  // data sync per file would cost a journal commit each and share little.
  // Every file of the batch lies in one of its directories.
  for (const std::string& dir : pending.directories) {
    UniqueFd dir_fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    sync_count_.fetch_add(1, std::memory_order_relaxed);
    if (!dir_fd.valid() || ::syncfs(dir_fd.get()) != 0) {
      if (err == 0) err = errno;
    }
  }
  pending.files.clear();
  pending.directories.clear();
  if (err != 0) throw StreamWriteError(err);
}

std::uint64_t PosixFileSystem::SyncCount() const {
  return sync_count_.load(std::memory_order_relaxed);
}

std::vector<DirectoryEntry> PosixFileSystem::ListFiles(
    const std::string& path) {
  std::vector<DirectoryEntry> entries;
  UniqueFd owned(
      ::open(SysPath(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!owned.valid()) return entries;
  const int dir_fd = owned.get();
  DIR* dir = ::fdopendir(dir_fd);
  if (dir == nullptr) return entries;
  owned.release();  // closedir closes it
  while (const dirent* e = ::readdir(dir)) {
    struct stat st {};
    if (::fstatat(dir_fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(st.st_mode)) {
      continue;
    }
    struct tm tm {};
    const time_t mtime = st.st_mtim.tv_sec;
    ::localtime_r(&mtime, &tm);
    entries.push_back({Utf8ToCp1252(e->d_name),
                       LocalTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                                 tm.tm_hour, tm.tm_min, tm.tm_sec, 0}});
  }
  ::closedir(dir);
  return entries;
}

int PosixFileSystem::RemoveFile(const std::string& path) {
  return ::unlink(SysPath(path).c_str()) == 0 ? 0 : errno;
}

std::optional<std::uint64_t> PosixFileSystem::FreeBytes(
    const std::string& path) {
  struct statvfs st {};
  if (::statvfs(SysPath(path).c_str(), &st) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(st.f_bavail) * st.f_frsize;
}

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
  UniqueFd fd(::open(SysPath(path).c_str(),
                     O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!fd.valid()) throw CannotCreateFileError(path, errno);
  int err = WriteAll(fd.get(), bytes);
  if (const int close_err = fd.Close(); err == 0) err = close_err;
  if (err != 0) {
    // A half-written file (a full disk, a file size limit) would pass for a
    // whole one; the caller keeps the data and may write it again.
    ::unlink(SysPath(path).c_str());
    throw StreamWriteError(err);
  }
}

std::string PosixFileSystem::ReadFile(const std::string& path) {
  UniqueFd fd(::open(SysPath(path).c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) throw CannotOpenFileError(path, errno);
  std::string content;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw CannotOpenFileError(path, errno);
    }
    if (n == 0) break;
    content.append(buffer, static_cast<std::size_t>(n));
  }
  return content;
}

std::unique_ptr<AppendFile> PosixFileSystem::OpenAppend(
    const std::string& path) {
  const std::string sys = SysPath(path);
  UniqueFd fd(::open(sys.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
  if (!fd.valid() && errno != ENOENT) throw CannotOpenFileError(path, errno);
  if (!fd.valid()) {
    fd.reset(
        ::open(sys.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    if (!fd.valid()) throw CannotCreateFileError(path, errno);
  }
  return std::make_unique<PosixAppendFile>(path, std::move(fd));
}

}  // namespace kvx
