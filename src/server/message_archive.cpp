#include "server/message_archive.h"

#include <pthread.h>

#include <cassert>
#include <exception>
#include <utility>

#include "core/settings.h"
#include "platform/clock.h"
#include "platform/file_system.h"
#include "platform/line_list_file.h"
#include "platform/stamps.h"

namespace kvx {

MessageArchive::MessageArchive(const Settings& settings, FileSystem& files,
                               Clock& clock)
    : settings_(settings), files_(files), clock_(clock) {}

bool MessageArchive::Enabled() const {
  return settings_.FOutputToFile == "True";
}

int MessageArchive::FileCounter() {
  std::scoped_lock lock(FArchiveLock);
  return FFileCounter;
}

void MessageArchive::SetFileCounter(int counter) {
  assert(counter >= kFirstFileNumber && counter <= kLastFileNumber);
  std::scoped_lock lock(FArchiveLock);
  FFileCounter = counter;
}

std::string MessageArchive::FileName(std::string_view prefix,
                                     std::string_view extension) const {
  std::string name = settings_.FOutputDirectory;
  name += prefix;
  name += FileStamp(clock_.Now());
  name += '_';
  name += std::to_string(FFileCounter);
  name += extension;
  return name;
}

ArchiveOutcome MessageArchive::Write(const ArchiveRequest& request) {
  std::scoped_lock lock(FArchiveLock);
  ArchiveOutcome outcome;
  try {
    outcome.failed = ArchiveOutcome::Failed::kRaw;
    // One line whatever the buffer holds: its bytes and one CR LF.
    std::string text;
    text.reserve(request.raw.size() + 2);
    text.append(request.raw);
    text += "\r\n";
    files_.WriteFile(FileName("/TCP_COMx_", ".TXT"), text);
    if (request.kind) {
      outcome.failed = ArchiveOutcome::Failed::kDecoded;
      const std::string_view prefix =
          *request.kind == ArchiveKind::kCom ? "/TCP_COM_" : "/TCP_DIV_";
      SaveLineListText(files_, FileName(prefix, ".XML"), request.decoded);
      FFileCounter =
          FFileCounter >= kLastFileNumber ? kFirstFileNumber : FFileCounter + 1;
    }
    outcome.failed = ArchiveOutcome::Failed::kNone;
  } catch (const std::exception& e) {
    outcome.error = e.what();
  }
  return outcome;
}

ArchiveWriter::ArchiveWriter(MessageArchive& archive)
    : archive_(archive), thread_([this] { Run(); }) {}

ArchiveWriter::~ArchiveWriter() {
  {
    std::scoped_lock lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

void ArchiveWriter::Submit(ArchiveRequest request, Done done) {
  {
    std::scoped_lock lock(mutex_);
    jobs_.push_back({std::move(request), std::move(done)});
  }
  wake_.notify_one();
}

void ArchiveWriter::Run() {
  // Named for the operator's process list: "kvx-archive".
  pthread_setname_np(pthread_self(), "kvx-archive");
  std::deque<Job> batch;
  for (;;) {
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      if (jobs_.empty()) return;  // stopping, and nothing left to write
      batch.swap(jobs_);
    }
    // Everything queued so far is written without taking the queue's lock
    // again, so connections hand over new frames meanwhile.
    for (Job& job : batch) {
      ScopedWork work(progress_);
      ArchiveOutcome outcome = archive_.Write(job.request);
      try {
        job.done(std::move(outcome));
      } catch (...) {
        // A completion that fails must not end the writer.
      }
    }
    batch.clear();
  }
}

}  // namespace kvx
