// The file-system interface. Paths are texts (Windows-1252), as every path
// inside the program; the POSIX adapter turns them into UTF-8 names.
#ifndef KVX_PLATFORM_FILE_SYSTEM_H_
#define KVX_PLATFORM_FILE_SYSTEM_H_

#include <memory>
#include <string>
#include <string_view>

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
};

// The real file system.
class PosixFileSystem final : public FileSystem {
 public:
  bool DirectoryExists(const std::string& path) override;
  bool CreateDirectory(const std::string& path) override;
  bool FileExists(const std::string& path) override;
  void WriteFile(const std::string& path, std::string_view bytes) override;
  std::string ReadFile(const std::string& path) override;
  std::unique_ptr<AppendFile> OpenAppend(const std::string& path) override;
};

}  // namespace kvx

#endif  // KVX_PLATFORM_FILE_SYSTEM_H_
