#include "fakes/mem_file_system.h"

#include <cerrno>

#include "platform/error.h"

namespace kvx {

class MemAppendFile final : public AppendFile {
 public:
  MemAppendFile(MemFileSystem& fs, std::string path)
      : fs_(fs), path_(std::move(path)) {}
  void Append(std::string_view bytes) override { fs_.AppendTo(path_, bytes); }

 private:
  MemFileSystem& fs_;
  std::string path_;
};

bool MemFileSystem::ParentExists(const std::string& path) const {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return true;
  const std::string parent = slash == 0 ? "/" : path.substr(0, slash);
  return directories_.count(parent) > 0;
}

bool MemFileSystem::WriteFails(const std::string& path) const {
  for (const auto& prefix : failing_prefixes_) {
    if (path.compare(0, prefix.size(), prefix) == 0) return true;
  }
  return false;
}

bool MemFileSystem::DirectoryExists(const std::string& path) {
  std::scoped_lock lock(mutex_);
  return directories_.count(path) > 0;
}

bool MemFileSystem::CreateDirectory(const std::string& path) {
  std::scoped_lock lock(mutex_);
  if (!ParentExists(path) || WriteFails(path) || directories_.count(path) ||
      files_.count(path)) {
    return false;
  }
  directories_.insert(path);
  return true;
}

bool MemFileSystem::FileExists(const std::string& path) {
  std::scoped_lock lock(mutex_);
  return files_.count(path) > 0;
}

void MemFileSystem::WriteFile(const std::string& path, std::string_view bytes) {
  std::scoped_lock lock(mutex_);
  if (!ParentExists(path))
    throw KvxError(CannotCreateFileMessage(path, ENOENT));
  if (WriteFails(path)) throw KvxError(CannotCreateFileMessage(path, EACCES));
  files_[path] = std::string(bytes);
}

std::string MemFileSystem::ReadFile(const std::string& path) {
  std::scoped_lock lock(mutex_);
  const auto it = files_.find(path);
  if (it == files_.end()) throw KvxError(CannotOpenFileMessage(path, ENOENT));
  return it->second;
}

std::unique_ptr<AppendFile> MemFileSystem::OpenAppend(const std::string& path) {
  std::scoped_lock lock(mutex_);
  if (!ParentExists(path))
    throw KvxError(CannotCreateFileMessage(path, ENOENT));
  if (WriteFails(path)) throw KvxError(CannotOpenFileMessage(path, EACCES));
  files_.try_emplace(path);
  return std::make_unique<MemAppendFile>(*this, path);
}

void MemFileSystem::AppendTo(const std::string& path, std::string_view bytes) {
  std::scoped_lock lock(mutex_);
  if (WriteFails(path)) {
    throw KvxError("Stream write error: " + SystemErrorText(EACCES));
  }
  files_[path].append(bytes);
}

void MemFileSystem::AddDirectory(const std::string& path) {
  std::scoped_lock lock(mutex_);
  directories_.insert(path);
}

void MemFileSystem::AddFile(const std::string& path, std::string bytes) {
  std::scoped_lock lock(mutex_);
  files_[path] = std::move(bytes);
}

void MemFileSystem::RemoveFile(const std::string& path) {
  std::scoped_lock lock(mutex_);
  files_.erase(path);
}

void MemFileSystem::RemoveDirectory(const std::string& path) {
  std::scoped_lock lock(mutex_);
  directories_.erase(path);
}

void MemFileSystem::FailWritesUnder(const std::string& path_prefix) {
  std::scoped_lock lock(mutex_);
  failing_prefixes_.insert(path_prefix);
}

void MemFileSystem::ClearFailures() {
  std::scoped_lock lock(mutex_);
  failing_prefixes_.clear();
}

std::map<std::string, std::string> MemFileSystem::Files() const {
  std::scoped_lock lock(mutex_);
  return files_;
}

std::string MemFileSystem::Content(const std::string& path) const {
  std::scoped_lock lock(mutex_);
  const auto it = files_.find(path);
  return it == files_.end() ? std::string() : it->second;
}

}  // namespace kvx
