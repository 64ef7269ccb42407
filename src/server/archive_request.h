// The files one frame step asks the archive for, and how writing them went.
#ifndef KVX_SERVER_ARCHIVE_REQUEST_H_
#define KVX_SERVER_ARCHIVE_REQUEST_H_

#include <optional>
#include <string>

namespace kvx {

enum class ArchiveKind { kCom, kDiv };  // "TCP_COM_" or "TCP_DIV_"

inline constexpr int kFirstFileNumber = 1;
inline constexpr int kLastFileNumber = 10000;

// The files of one frame step: the bytes the step takes (leading bytes and
// its frame) and, when the step archives its message, the message and its
// kind.
struct ArchiveRequest {
  std::string raw;
  std::optional<ArchiveKind> kind;  // no decoded file without it
  std::string decoded;
};

// How the files of one frame step went. On a failure `error` holds the
// exception's message; a failed raw file means that nothing was written.
struct ArchiveOutcome {
  enum class Failed { kNone, kRaw, kDecoded };
  Failed failed = Failed::kNone;
  std::string error;
};

}  // namespace kvx

#endif  // KVX_SERVER_ARCHIVE_REQUEST_H_
