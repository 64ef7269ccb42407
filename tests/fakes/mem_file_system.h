// An in-memory file system with failure injection.
#ifndef KVX_TESTS_FAKES_MEM_FILE_SYSTEM_H_
#define KVX_TESTS_FAKES_MEM_FILE_SYSTEM_H_

#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/file_system.h"

namespace kvx {

// Directories must exist before files are created in them (parent of a
// path = the text before its last '/'); "/" always exists. Every file
// carries the fake's current time (SetNow) as its modification time.
// Journal() lists, in order, every CreateNew ("create <path>"), every Sync
// ("sync <path> <path> ...") and every Note of the test.
class MemFileSystem final : public FileSystem {
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
  // Also a test helper; fails with EACCES under a failing prefix.
  int RemoveFile(const std::string& path) override;
  std::optional<std::uint64_t> FreeBytes(const std::string& path) override;

  // Test helpers.
  void AddDirectory(const std::string& path);
  void AddFile(const std::string& path, std::string bytes);
  void RemoveDirectory(const std::string& path);
  // While set, every write, create or removal under `path_prefix` fails
  // with EACCES.
  void FailWritesUnder(const std::string& path_prefix);
  void ClearFailures();
  // While set, Sync fails with EIO (and still empties the batch).
  void FailSyncs(bool fail);
  // The free bytes reported for paths under `path_prefix` (longest prefix
  // wins); nothing set: nothing reported.
  void SetFreeBytes(const std::string& path_prefix,
                    std::optional<std::uint64_t> bytes);
  void SetNow(const LocalTime& now);
  void SetModified(const std::string& path, const LocalTime& modified);
  void Note(std::string entry);
  std::vector<std::string> Journal() const;
  // A copy of the files, by path.
  std::map<std::string, std::string> Files() const;
  std::string Content(const std::string& path) const;

 private:
  friend class MemAppendFile;
  bool ParentExists(const std::string& path) const;
  bool WriteFails(const std::string& path) const;
  void AppendTo(const std::string& path, std::string_view bytes);
  void Put(const std::string& path, std::string bytes);  // REQUIRES: mutex_

  mutable std::mutex mutex_;
  std::set<std::string> directories_{"/"};
  std::map<std::string, std::string> files_;
  std::map<std::string, LocalTime> modified_;
  std::set<std::string> failing_prefixes_;
  std::map<std::string, std::uint64_t> free_bytes_;
  LocalTime now_{2010, 5, 25, 14, 3, 7, 0};
  bool fail_syncs_ = false;
  std::uint64_t sync_count_ = 0;
  std::vector<std::string> journal_;
};

}  // namespace kvx

#endif  // KVX_TESTS_FAKES_MEM_FILE_SYSTEM_H_
