#include "fakes/mem_file_system.h"

#include <cerrno>

#include "platform/error.h"

namespace kvx {

namespace {

class MemSyncBatch final : public SyncBatch {
 public:
  std::size_t Size() const override { return paths.size(); }
  std::vector<std::string> paths;
};

std::string ParentOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

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
  Put(path, std::string(bytes));
}

void MemFileSystem::Put(const std::string& path, std::string bytes) {
  files_[path] = std::move(bytes);
  modified_[path] = now_;
}

bool MemFileSystem::CreateNew(const std::string& path, std::string_view bytes,
                              SyncBatch* batch) {
  std::scoped_lock lock(mutex_);
  if (!ParentExists(path))
    throw KvxError(CannotCreateFileMessage(path, ENOENT));
  if (WriteFails(path)) throw KvxError(CannotCreateFileMessage(path, EACCES));
  if (files_.count(path)) return false;
  Put(path, std::string(bytes));
  journal_.push_back("create " + path);
  if (batch != nullptr)
    static_cast<MemSyncBatch&>(*batch).paths.push_back(path);
  return true;
}

std::unique_ptr<SyncBatch> MemFileSystem::NewSyncBatch() {
  return std::make_unique<MemSyncBatch>();
}

void MemFileSystem::Sync(SyncBatch& batch) {
  auto& pending = static_cast<MemSyncBatch&>(batch);
  std::scoped_lock lock(mutex_);
  std::string entry = "sync";
  std::set<std::string> directories;
  for (const std::string& path : pending.paths) {
    entry += " " + path;
    directories.insert(ParentOf(path));
  }
  sync_count_ += pending.paths.size() + directories.size();
  journal_.push_back(entry);
  pending.paths.clear();
  if (fail_syncs_) {
    throw KvxError("Stream write error: " + SystemErrorText(EIO));
  }
}

std::uint64_t MemFileSystem::SyncCount() const {
  std::scoped_lock lock(mutex_);
  return sync_count_;
}

std::vector<DirectoryEntry> MemFileSystem::ListFiles(const std::string& path) {
  std::scoped_lock lock(mutex_);
  std::vector<DirectoryEntry> entries;
  if (!directories_.count(path)) return entries;
  for (const auto& [name, bytes] : files_) {
    if (ParentOf(name) != path) continue;
    entries.push_back({name.substr(name.rfind('/') + 1), modified_[name]});
  }
  return entries;
}

std::optional<std::uint64_t> MemFileSystem::FreeBytes(const std::string& path) {
  std::scoped_lock lock(mutex_);
  std::optional<std::uint64_t> bytes;
  std::size_t best = 0;
  for (const auto& [prefix, free] : free_bytes_) {
    if (path.compare(0, prefix.size(), prefix) == 0 && prefix.size() >= best) {
      best = prefix.size();
      bytes = free;
    }
  }
  return bytes;
}

void MemFileSystem::FailSyncs(bool fail) {
  std::scoped_lock lock(mutex_);
  fail_syncs_ = fail;
}

void MemFileSystem::SetFreeBytes(const std::string& path_prefix,
                                 std::optional<std::uint64_t> bytes) {
  std::scoped_lock lock(mutex_);
  if (bytes) {
    free_bytes_[path_prefix] = *bytes;
  } else {
    free_bytes_.erase(path_prefix);
  }
}

void MemFileSystem::SetNow(const LocalTime& now) {
  std::scoped_lock lock(mutex_);
  now_ = now;
}

void MemFileSystem::SetModified(const std::string& path,
                                const LocalTime& modified) {
  std::scoped_lock lock(mutex_);
  modified_[path] = modified;
}

void MemFileSystem::Note(std::string entry) {
  std::scoped_lock lock(mutex_);
  journal_.push_back(std::move(entry));
}

std::vector<std::string> MemFileSystem::Journal() const {
  std::scoped_lock lock(mutex_);
  return journal_;
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
  if (!files_.count(path)) Put(path, {});
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
  Put(path, std::move(bytes));
}

int MemFileSystem::RemoveFile(const std::string& path) {
  std::scoped_lock lock(mutex_);
  if (WriteFails(path)) return EACCES;
  if (!files_.erase(path)) return ENOENT;
  modified_.erase(path);
  return 0;
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
