// The archive files of received frames: the raw receive buffer and, when
// archiving is on, the decoded messages, numbered by one shared counter.
#ifndef KVX_SERVER_MESSAGE_ARCHIVE_H_
#define KVX_SERVER_MESSAGE_ARCHIVE_H_

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "platform/mutex.h"
#include "platform/worker_progress.h"
#include "server/archive_request.h"

namespace kvx {

class Clock;
class FileSystem;
class SyncBatch;
struct Settings;

// Owns FFileCounter, shared by every connection. Thread-safe: the files of
// one request are written, and the counter read or advanced, under
// FArchiveLock, so that the raw and decoded files of one frame carry the
// same number whoever else writes. `settings`, `files` and `clock` must
// outlive it.
//
// DESIGN: no archive file is ever replaced. Files are created exclusively
// and appear whole (FileSystem::CreateNew). When a name of the frame's
// number is taken (raw or decoded; by an earlier frame, an earlier run or
// another process), both files move on to the next number and the counter
// goes on from there. Numbers walk 1..10000 round from the counter; once
// every one of them was found taken within one stamp, the stamp's further
// files are numbered from 10001 up. Without collisions the numbering is
// the counter's exactly.
class MessageArchive {
 public:
  MessageArchive(const Settings& settings, FileSystem& files, Clock& clock);
  MessageArchive(const MessageArchive&) = delete;
  MessageArchive& operator=(const MessageArchive&) = delete;

  // True when FOutputToFile is exactly "True" (case and blanks count).
  bool Enabled() const;
  // True when FArchiveSync is set: frames wait for the sync of their files.
  bool SyncRequested() const;

  // The number the next archive file carries when its name is free.
  int FileCounter();
  // REQUIRES: kFirstFileNumber <= counter <= kLastFileNumber.
  void SetFileCounter(int counter);

  // Writes the raw buffer as one line ("TCP_COMx_<stamp>_<n>.TXT") whatever
  // CR, LF or NUL bytes it holds; then, when the request has a kind, the
  // line-list text of the message ("TCP_COM_" or "TCP_DIV_", ".XML") with
  // the same stamp and number. A raw-only request leaves the counter at
  // the number used; a decoded file advances it past that number (10000
  // wraps to 1). Stops at the first file that cannot be written ("Cannot
  // create file ..."), leaving the counter; a raw file already written
  // stays. With `batch` the files stay in it for the caller's sync. Never
  // throws.
  ArchiveOutcome Write(const ArchiveRequest& request,
                       SyncBatch* batch = nullptr);

  FileSystem& files() const { return files_; }

  // Counters for the operator, readable from any thread.
  std::uint64_t FilesWritten() const { return files_written_.load(); }
  std::uint64_t Failures() const { return failures_.load(); }
  std::uint64_t Collisions() const { return collisions_.load(); }

 private:
  // The number to try next for `stamp`; moves past a taken one with Skip.
  int NextNumber(const std::string& stamp) REQUIRES(FArchiveLock);
  void Skip(int number) REQUIRES(FArchiveLock);
  std::string FileName(std::string_view prefix, const std::string& stamp,
                       int number, std::string_view extension) const;

  const Settings& settings_;
  FileSystem& files_;
  Clock& clock_;
  Mutex FArchiveLock;
  int FFileCounter GUARDED_BY(FArchiveLock) = kFirstFileNumber;
  std::string stamp_ GUARDED_BY(FArchiveLock);
  // In-range numbers passed in stamp_ (taken or used); at 10000 every one
  // is taken and above_ is used.
  int passed_ GUARDED_BY(FArchiveLock) = 0;
  int above_ GUARDED_BY(FArchiveLock) = kLastFileNumber + 1;
  std::atomic<std::uint64_t> files_written_{0};
  std::atomic<std::uint64_t> failures_{0};
  std::atomic<std::uint64_t> collisions_{0};
};

// DESIGN: one thread writes the archive files of every connection, in the
// order the frame steps hand them over. A connection thread does not wait
// for the file system: it goes on reading, unpacking and answering its other
// connections while the files of earlier frames are written, and the writer
// goes from one frame's files to the next without a hand-over of the
// archive between threads. Without ArchiveSync the outcomes are handed out
// in groups of up to 16 frames (at once for a frame written alone), so that
// a waiting connection thread is woken once per group, not once per frame.
// With ArchiveSync the writer commits in groups:
// it writes the files of everything queued, syncs their data and then
// their directories once, and only then hands out the outcomes, so that
// no frame is answered before its files are on stable storage and the
// connections share the cost of the syncs. Thread-safe. `archive` must
// outlive it.
class ArchiveWriter {
 public:
  // Called on the writer thread with the outcome of one request; must not
  // block for long, and what it throws is dropped.
  using Done = std::function<void(ArchiveOutcome)>;

  explicit ArchiveWriter(MessageArchive& archive);
  ArchiveWriter(const ArchiveWriter&) = delete;
  ArchiveWriter& operator=(const ArchiveWriter&) = delete;
  // Writes every request submitted so far, then ends the thread.
  ~ArchiveWriter();

  // Queues the request; `done` follows once its files are written or have
  // failed.
  void Submit(ArchiveRequest request, Done done);
  // Writes the request's files on the calling thread, and returns their
  // outcome, when the writer has nothing queued and nothing in hand and
  // ArchiveSync is off: a frame that comes alone is archived without waking
  // the writer and being woken by it. Nothing (write nothing) otherwise:
  // Submit it. Never overtakes a request submitted before it.
  std::optional<ArchiveOutcome> WriteIfIdle(const ArchiveRequest& request);

  // One piece of work per request (its files and its `done`); idle while
  // the queue is empty. Read by the watchdog.
  const WorkerProgress& progress() const { return progress_; }

 private:
  struct Job {
    ArchiveRequest request;
    Done done;
    ArchiveOutcome outcome;
  };
  void Run();
  void WriteBatch(std::deque<Job>& batch);

  MessageArchive& archive_;
  Mutex mutex_;
  CondVar wake_;
  std::deque<Job> jobs_ GUARDED_BY(mutex_);
  // Files are being written, by the writer or by a caller of WriteIfIdle.
  bool busy_ GUARDED_BY(mutex_) = false;
  bool stopping_ GUARDED_BY(mutex_) = false;
  WorkerProgress progress_;
  std::thread thread_;  // last: starts once the rest is ready
};

}  // namespace kvx

#endif  // KVX_SERVER_MESSAGE_ARCHIVE_H_
