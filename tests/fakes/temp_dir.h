// A fresh temporary directory, removed with everything in it at the end.
#ifndef KVX_TESTS_FAKES_TEMP_DIR_H_
#define KVX_TESTS_FAKES_TEMP_DIR_H_

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>

namespace kvx {

class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "kvx") {
    std::string pattern =
        (std::filesystem::temp_directory_path() / (prefix + ".XXXXXX"))
            .string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw std::runtime_error("mkdtemp failed for " + pattern);
    }
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The directory, without a trailing '/'.
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace kvx

#endif  // KVX_TESTS_FAKES_TEMP_DIR_H_
