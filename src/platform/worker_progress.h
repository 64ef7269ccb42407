// Progress marks a worker thread sets around each piece of work, read by
// the watchdog on another thread.
#ifndef KVX_PLATFORM_WORKER_PROGRESS_H_
#define KVX_PLATFORM_WORKER_PROGRESS_H_

#include <atomic>
#include <cstdint>

namespace kvx {

// Two counters: pieces of work begun and pieces finished. The worker is busy
// while they differ and idle (waiting for work) while they are equal.
// Thread-safe: one worker calls Begin and End in pairs, any thread reads.
class WorkerProgress {
 public:
  struct Marks {
    std::uint64_t begun = 0;
    std::uint64_t finished = 0;
    bool busy() const { return begun != finished; }
  };

  WorkerProgress() = default;
  WorkerProgress(const WorkerProgress&) = delete;
  WorkerProgress& operator=(const WorkerProgress&) = delete;

  void Begin() { begun_.fetch_add(1, std::memory_order_release); }
  void End() { finished_.fetch_add(1, std::memory_order_release); }

  // `finished` is read first, so a reader never sees more finished than
  // begun pieces.
  Marks Read() const {
    Marks marks;
    marks.finished = finished_.load(std::memory_order_acquire);
    marks.begun = begun_.load(std::memory_order_acquire);
    return marks;
  }

 private:
  std::atomic<std::uint64_t> begun_{0};
  std::atomic<std::uint64_t> finished_{0};
};

// Marks one piece of work on `progress` for the lifetime of the scope.
class ScopedWork {
 public:
  explicit ScopedWork(WorkerProgress& progress) : progress_(progress) {
    progress_.Begin();
  }
  ~ScopedWork() { progress_.End(); }
  ScopedWork(const ScopedWork&) = delete;
  ScopedWork& operator=(const ScopedWork&) = delete;

 private:
  WorkerProgress& progress_;
};

}  // namespace kvx

#endif  // KVX_PLATFORM_WORKER_PROGRESS_H_
