// An in-memory file system with failure injection.
#ifndef KVX_TESTS_FAKES_MEM_FILE_SYSTEM_H_
#define KVX_TESTS_FAKES_MEM_FILE_SYSTEM_H_

#include <map>
#include <mutex>
#include <set>
#include <string>

#include "platform/file_system.h"

namespace kvx {

// Directories must exist before files are created in them (parent of a
// path = the text before its last '/'); "/" always exists.
class MemFileSystem final : public FileSystem {
 public:
  bool DirectoryExists(const std::string& path) override;
  bool CreateDirectory(const std::string& path) override;
  bool FileExists(const std::string& path) override;
  void WriteFile(const std::string& path, std::string_view bytes) override;
  std::string ReadFile(const std::string& path) override;
  std::unique_ptr<AppendFile> OpenAppend(const std::string& path) override;

  // Test helpers.
  void AddDirectory(const std::string& path);
  void AddFile(const std::string& path, std::string bytes);
  void RemoveFile(const std::string& path);
  void RemoveDirectory(const std::string& path);
  // While set, every write or create under `path_prefix` fails with EACCES.
  void FailWritesUnder(const std::string& path_prefix);
  void ClearFailures();
  // A copy of the files, by path.
  std::map<std::string, std::string> Files() const;
  std::string Content(const std::string& path) const;

 private:
  friend class MemAppendFile;
  bool ParentExists(const std::string& path) const;
  bool WriteFails(const std::string& path) const;
  void AppendTo(const std::string& path, std::string_view bytes);

  mutable std::mutex mutex_;
  std::set<std::string> directories_{"/"};
  std::map<std::string, std::string> files_;
  std::set<std::string> failing_prefixes_;
};

}  // namespace kvx

#endif  // KVX_TESTS_FAKES_MEM_FILE_SYSTEM_H_
