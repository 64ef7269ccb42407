#include "server/message_archive.h"

#include <cassert>
#include <exception>
#include <utility>

#include "core/settings.h"
#include "platform/clock.h"
#include "platform/file_system.h"
#include "platform/line_list_file.h"
#include "platform/stamps.h"
#include "platform/thread_name.h"

namespace kvx {

MessageArchive::MessageArchive(const Settings& settings, FileSystem& files,
                               Clock& clock)
    : settings_(settings), files_(files), clock_(clock) {}

bool MessageArchive::Enabled() const { return DecodedArchiveOn(settings_); }

bool MessageArchive::SyncRequested() const { return settings_.FArchiveSync; }

int MessageArchive::FileCounter() {
  MutexLock lock(FArchiveLock);
  return FFileCounter;
}

void MessageArchive::SetFileCounter(int counter) {
  assert(counter >= kFirstFileNumber && counter <= kLastFileNumber);
  MutexLock lock(FArchiveLock);
  FFileCounter = counter;
}

std::string MessageArchive::FileName(std::string_view prefix,
                                     const std::string& stamp, int number,
                                     std::string_view extension) const {
  std::string name = settings_.FOutputDirectory;
  name += prefix;
  name += stamp;
  name += '_';
  name += std::to_string(number);
  name += extension;
  return name;
}

int MessageArchive::NextNumber(const std::string& stamp) {
  if (stamp != stamp_) {
    stamp_ = stamp;
    passed_ = 0;
    above_ = kLastFileNumber + 1;
  }
  return passed_ < kLastFileNumber ? FFileCounter : above_;
}

// Moves past `number`, taken now (by another file or by this frame's
// decoded file).
void MessageArchive::Skip(int number) {
  if (number > kLastFileNumber) {
    above_ = number + 1;
    return;
  }
  ++passed_;
  FFileCounter = number >= kLastFileNumber ? kFirstFileNumber : number + 1;
}

ArchiveOutcome MessageArchive::Write(const ArchiveRequest& request,
                                     SyncBatch* batch) {
  MutexLock lock(FArchiveLock);
  ArchiveOutcome outcome;
  try {
    // One line whatever the buffer holds: its bytes and one CR LF.
    std::string raw;
    raw.reserve(request.raw.size() + 2);
    raw.append(request.raw);
    raw += "\r\n";
    const std::string decoded =
        request.kind ? LineListText(request.decoded) : std::string();
    const std::string_view prefix =
        request.kind == ArchiveKind::kCom ? "/TCP_COM_" : "/TCP_DIV_";
    // Both files of the frame carry one stamp, taken once.
    const std::string stamp = FileStamp(clock_.Now());
    for (;;) {
      const int number = NextNumber(stamp);
      outcome.failed = ArchiveOutcome::Failed::kRaw;
      const std::string raw_name =
          FileName("/TCP_COMx_", stamp, number, ".TXT");
      if (!files_.CreateNew(raw_name, raw, batch)) {
        collisions_.fetch_add(1, std::memory_order_relaxed);
        Skip(number);
        continue;
      }
      files_written_.fetch_add(1, std::memory_order_relaxed);
      if (!request.kind) break;  // the raw file does not advance the counter
      outcome.failed = ArchiveOutcome::Failed::kDecoded;
      if (!files_.CreateNew(FileName(prefix, stamp, number, ".XML"), decoded,
                            batch)) {
        // The decoded name is taken: the raw file written a moment ago goes
        // again, and the pair moves on to the next number together.
        files_.RemoveFile(raw_name);
        files_written_.fetch_sub(1, std::memory_order_relaxed);
        collisions_.fetch_add(1, std::memory_order_relaxed);
        Skip(number);
        continue;
      }
      files_written_.fetch_add(1, std::memory_order_relaxed);
      Skip(number);
      break;
    }
    outcome.failed = ArchiveOutcome::Failed::kNone;
  } catch (const std::exception& e) {
    failures_.fetch_add(1, std::memory_order_relaxed);
    outcome.error = e.what();
  }
  return outcome;
}

ArchiveWriter::ArchiveWriter(MessageArchive& archive)
    : archive_(archive), thread_([this] { Run(); }) {}

ArchiveWriter::~ArchiveWriter() {
  {
    MutexLock lock(mutex_);
    stopping_ = true;
  }
  wake_.Signal();
  thread_.join();
}

void ArchiveWriter::Submit(ArchiveRequest request, Done done) {
  {
    MutexLock lock(mutex_);
    jobs_.push_back({std::move(request), std::move(done), {}});
  }
  wake_.Signal();
}

std::optional<ArchiveOutcome> ArchiveWriter::WriteIfIdle(
    const ArchiveRequest& request) {
  if (archive_.SyncRequested()) return std::nullopt;  // group commit
  {
    MutexLock lock(mutex_);
    if (busy_ || stopping_ || !jobs_.empty()) return std::nullopt;
    busy_ = true;
  }
  ArchiveOutcome outcome;
  {
    ScopedWork work(progress_);
    outcome = archive_.Write(request);
  }
  bool queued = false;
  {
    MutexLock lock(mutex_);
    busy_ = false;
    queued = !jobs_.empty() || stopping_;
  }
  // Requests submitted meanwhile (or the writer's end) wait for this.
  if (queued) wake_.Signal();
  return outcome;
}

void ArchiveWriter::Run() {
  // Named for the operator's process list: "kvx-archive".
  SetThreadName("kvx-archive");
  std::deque<Job> batch;
  for (;;) {
    {
      MutexLock lock(mutex_);
      // A frame written by its own thread (WriteIfIdle) is finished first.
      while ((!stopping_ && jobs_.empty()) || busy_) wake_.Wait(mutex_);
      if (jobs_.empty()) return;  // stopping, and nothing left to write
      batch.swap(jobs_);
      busy_ = true;
    }
    // Everything queued so far is written without taking the queue's lock
    // again, so connections hand over new frames meanwhile.
    WriteBatch(batch);
    batch.clear();
    MutexLock lock(mutex_);
    busy_ = false;
  }
}

namespace {
// The outcomes of at most this many frames wait for each other.
constexpr std::size_t kOutcomeGroup = 16;
}  // namespace

void ArchiveWriter::WriteBatch(std::deque<Job>& batch) {
  const auto deliver = [](Job& job) {
    try {
      job.done(std::move(job.outcome));
    } catch (...) {
      // A completion that fails must not end the writer.
    }
  };
  if (!archive_.SyncRequested()) {
    // Outcomes go out in groups: each group wakes a waiting io thread at
    // most once, where one outcome at a time would wake it for every frame.
    // A batch of one (a single client) goes out at once.
    std::size_t written = 0;
    std::size_t delivered = 0;
    for (Job& job : batch) {
      {
        ScopedWork work(progress_);
        job.outcome = archive_.Write(job.request);
      }
      ++written;
      if (written - delivered >= kOutcomeGroup || written == batch.size()) {
        ScopedWork work(progress_);
        for (; delivered < written; ++delivered) deliver(batch[delivered]);
      }
    }
  } else {
    // Group commit: no outcome leaves before the sync of the whole batch.
    FileSystem& files = archive_.files();
    const std::unique_ptr<SyncBatch> pending = files.NewSyncBatch();
    for (Job& job : batch) {
      ScopedWork work(progress_);
      job.outcome = archive_.Write(job.request, pending.get());
    }
    try {
      ScopedWork work(progress_);
      files.Sync(*pending);
    } catch (const std::exception& e) {
      // Files that may not be on stable storage are not answered: the
      // frames stay and are tried again, as after a failed raw file.
      for (Job& job : batch) {
        if (job.outcome.failed == ArchiveOutcome::Failed::kNone) {
          job.outcome.failed = ArchiveOutcome::Failed::kRaw;
          job.outcome.error = e.what();
        }
      }
    }
    for (Job& job : batch) {
      ScopedWork work(progress_);
      deliver(job);
    }
  }
}

}  // namespace kvx
