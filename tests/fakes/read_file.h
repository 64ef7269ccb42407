// Reads a real file whole, for tests that check what was written to disk.
#ifndef KVX_TESTS_FAKES_READ_FILE_H_
#define KVX_TESTS_FAKES_READ_FILE_H_

#include <fstream>
#include <sstream>
#include <string>

namespace kvx {

// The bytes of the file at `path`; "" when it cannot be read.
inline std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

}  // namespace kvx

#endif  // KVX_TESTS_FAKES_READ_FILE_H_
