// The archive files of received frames: the raw receive buffer and, when
// archiving is on, the decoded messages, numbered by one shared counter.
#ifndef KVX_SERVER_MESSAGE_ARCHIVE_H_
#define KVX_SERVER_MESSAGE_ARCHIVE_H_

#include <mutex>
#include <string>
#include <string_view>

namespace kvx {

class Clock;
class FileSystem;
struct Settings;

enum class ArchiveKind { kCom, kDiv };  // "TCP_COM_" or "TCP_DIV_"

inline constexpr int kFirstFileNumber = 1;
inline constexpr int kLastFileNumber = 10000;

// Owns FFileCounter, shared by every connection. Thread-safe: files are
// written and the counter read or advanced only through an ArchivePass,
// which holds FArchiveLock. `settings`, `files` and `clock` must outlive it.
class MessageArchive {
 public:
  MessageArchive(const Settings& settings, FileSystem& files, Clock& clock);
  MessageArchive(const MessageArchive&) = delete;
  MessageArchive& operator=(const MessageArchive&) = delete;

  // True when FOutputToFile is exactly "True" (case and blanks count).
  bool Enabled() const;

  // The number the next archive file carries.
  int FileCounter();
  // REQUIRES: kFirstFileNumber <= counter <= kLastFileNumber.
  void SetFileCounter(int counter);

 private:
  friend class ArchivePass;

  std::string FileName(std::string_view prefix,
                       std::string_view extension) const;

  const Settings& settings_;
  FileSystem& files_;
  Clock& clock_;
  std::mutex FArchiveLock;
  int FFileCounter = kFirstFileNumber;  // GUARDED_BY(FArchiveLock)
};

// Exclusive use of the archive for one frame step. A frame step holds it from
// the raw archive through the decoded archive, so that the raw and decoded
// files of one frame carry the same number even while other connections run
// frame steps of their own.
class ArchivePass {
 public:
  explicit ArchivePass(MessageArchive& archive);
  ArchivePass(const ArchivePass&) = delete;
  ArchivePass& operator=(const ArchivePass&) = delete;

  // Writes the whole buffer as one line ("TCP_COMx_<stamp>_<n>.TXT"), whatever
  // CR, LF or NUL bytes it holds; does not advance the counter. Throws
  // KvxError "Cannot create file ..." when the file cannot be written.
  void WriteRaw(std::string_view buffer);

  // Writes the line-list text of the message ("TCP_COM_" or "TCP_DIV_",
  // ".XML"), then advances the counter (10000 wraps to 1). On failure throws
  // as WriteRaw and leaves the counter.
  void WriteDecoded(ArchiveKind kind, std::string_view message);

  // Gives the archive back before the pass ends (idempotent).
  void Release() {
    if (lock_.owns_lock()) lock_.unlock();
  }

 private:
  MessageArchive& archive_;
  std::unique_lock<std::mutex> lock_;
};

}  // namespace kvx

#endif  // KVX_SERVER_MESSAGE_ARCHIVE_H_
