// A mutex, its scoped lock and a condition variable that clang's
// thread-safety analysis understands (std::mutex carries no annotations).
#ifndef KVX_PLATFORM_MUTEX_H_
#define KVX_PLATFORM_MUTEX_H_

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/thread_annotations.h"

namespace kvx {

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() ACQUIRE() { mutex_.lock(); }
  void Unlock() RELEASE() { mutex_.unlock(); }

 private:
  friend class CondVar;
  std::mutex mutex_;
};

// Holds `mutex` for its own lifetime.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) {
    mutex_.Lock();
  }
  ~MutexLock() RELEASE() { mutex_.Unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};

// A condition variable. Each wait names the Mutex it releases, so that the
// analysis checks the caller holds it.
class CondVar {
 public:
  CondVar() = default;
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  // Releases `mutex` until signalled (or woken spuriously), then takes it
  // again: call in a loop that tests the condition, as
  // `while (!ready) cv.Wait(mutex);`.
  void Wait(Mutex& mutex) REQUIRES(mutex) {
    std::unique_lock lock(mutex.mutex_, std::adopt_lock);
    cv_.wait(lock);
    lock.release();
  }
  // The same, returning after `timeout` at the latest.
  void WaitFor(Mutex& mutex, std::chrono::milliseconds timeout)
      REQUIRES(mutex) {
    std::unique_lock lock(mutex.mutex_, std::adopt_lock);
    cv_.wait_for(lock, timeout);
    lock.release();
  }
  // The same, returning at `deadline` at the latest.
  void WaitUntil(Mutex& mutex, std::chrono::steady_clock::time_point deadline)
      REQUIRES(mutex) {
    std::unique_lock lock(mutex.mutex_, std::adopt_lock);
    cv_.wait_until(lock, deadline);
    lock.release();
  }
  void Signal() { cv_.notify_one(); }
  void SignalAll() { cv_.notify_all(); }

 private:
  std::condition_variable cv_;
};

}  // namespace kvx

#endif  // KVX_PLATFORM_MUTEX_H_
