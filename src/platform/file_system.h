// The file-system interface. Paths are texts (Windows-1252), as every path
// inside the program; the POSIX adapter turns them into UTF-8 names.
#ifndef KVX_PLATFORM_FILE_SYSTEM_H_
#define KVX_PLATFORM_FILE_SYSTEM_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"

namespace kvx {

// A file held open for appending (the traffic log). Thread-compatible: the
// caller serialises writes.
class AppendFile {
 public:
  virtual ~AppendFile() = default;
  // Writes all bytes at the end of the file, straight through to the system.
  // Throws KvxError with the system's text on failure.
  virtual void Append(std::string_view bytes) = 0;
};

// Files created by FileSystem::CreateNew that still wait for their sync;
// made by FileSystem::NewSyncBatch and used by one thread at a time.
class SyncBatch {
 public:
  virtual ~SyncBatch() = default;
  // How many files wait in the batch.
  virtual std::size_t Size() const = 0;
};

// One entry of a directory listing.
struct DirectoryEntry {
  std::string name;    // the name alone, a text
  LocalTime modified;  // local time of the last change
};

// Thread-safe: every method may be called from any thread.
class FileSystem {
 public:
  virtual ~FileSystem() = default;
  virtual bool DirectoryExists(const std::string& path) = 0;
  // Creates one directory (its parent must exist); false on failure.
  virtual bool CreateDirectory(const std::string& path) = 0;
  virtual bool FileExists(const std::string& path) = 0;
  // Creates or truncates the file and writes all bytes, then closes it.
  // Throws KvxError "Cannot create file "%s". %s", or "Stream write error: "
  // and the system's text when a write fails; the file is then removed, so
  // no half-written file stays behind.
  virtual void WriteFile(const std::string& path, std::string_view bytes) = 0;
  // Reads the whole file. Throws KvxError "Cannot open file "%s". %s".
  virtual std::string ReadFile(const std::string& path) = 0;
  // Opens a file for appending, creating it when missing. Throws KvxError
  // "Cannot open file "%s". %s" or "Cannot create file "%s". %s".
  virtual std::unique_ptr<AppendFile> OpenAppend(const std::string& path) = 0;

  // Creates a new file holding `bytes`, exclusively and whole: the name
  // appears only once every byte is written, and an existing file of that
  // name is never opened, truncated or replaced. Returns false, leaving
  // nothing behind, when the name is taken. With `batch` the file stays in
  // it until Sync; without, nothing is synced. Throws KvxError as WriteFile
  // does; a failed create leaves no file and no temporary file behind.
  virtual bool CreateNew(const std::string& path, std::string_view bytes,
                         SyncBatch* batch) = 0;
  virtual std::unique_ptr<SyncBatch> NewSyncBatch() = 0;
  // Puts the data of every file in the batch and their directory entries on
  // stable storage, with one commit per directory, and empties the batch.
  // Throws KvxError "Stream write error: " and the system's text on failure
  // (the batch is emptied all the same).
  virtual void Sync(SyncBatch& batch) = 0;
  // How many syncs (commits) were issued so far.
  virtual std::uint64_t SyncCount() const = 0;

  // The regular files directly in `path` (no directories); empty when the
  // directory cannot be read.
  virtual std::vector<DirectoryEntry> ListFiles(const std::string& path) = 0;
  // Removes one file; on failure returns the errno value, else 0.
  virtual int RemoveFile(const std::string& path) = 0;
  // Bytes an unprivileged writer may still use on the file system that
  // holds `path`; nothing when it cannot be read.
  virtual std::optional<std::uint64_t> FreeBytes(const std::string& path) = 0;
};

// The name prefix of the temporary files that CreateNew may use where the
// file system offers no unnamed files; never the start of an archive name.
inline constexpr char kTemporaryFilePrefix[] = ".kvx-tmp-";

// The real file system.
class PosixFileSystem final : public FileSystem {
 public:
  bool DirectoryExists(const std::string& path) override;
  bool CreateDirectory(const std::string& path) override;
  bool FileExists(const std::string& path) override;
  void WriteFile(const std::string& path, std::string_view bytes) override;
  std::string ReadFile(const std::string& path) override;
  std::unique_ptr<AppendFile> OpenAppend(const std::string& path) override;
  bool CreateNew(const std::string& path, std::string_view bytes,
                 SyncBatch* batch) override;
  std::unique_ptr<SyncBatch> NewSyncBatch() override;
  void Sync(SyncBatch& batch) override;
  std::uint64_t SyncCount() const override;
  std::vector<DirectoryEntry> ListFiles(const std::string& path) override;
  int RemoveFile(const std::string& path) override;
  std::optional<std::uint64_t> FreeBytes(const std::string& path) override;

 private:
  std::atomic<std::uint64_t> sync_count_{0};
  std::atomic<bool> no_unnamed_files_{false};  // set at the first refusal
  // Unnamed files are linked through their descriptor until the kernel
  // refuses that (it then takes their /proc/self/fd path).
  std::atomic<bool> link_by_descriptor_{true};
  std::atomic<std::uint64_t> temp_sequence_{0};
};

}  // namespace kvx

#endif  // KVX_PLATFORM_FILE_SYSTEM_H_
