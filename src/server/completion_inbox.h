// The outcomes of the archive writer for the connections of one io thread.
#ifndef KVX_SERVER_COMPLETION_INBOX_H_
#define KVX_SERVER_COMPLETION_INBOX_H_

#include <asio/io_context.hpp>
#include <functional>
#include <vector>

#include "platform/mutex.h"

namespace kvx {

// DESIGN: the archive writer hands each frame's outcome to the thread of
// its connection. Posting each one to the thread's io_context would wake a
// thread that waits for its sockets once per frame; here the first outcome
// after a drain posts one drain, and the drain runs every outcome added by
// then, in the order they were added. A batch of the writer thus costs each
// io thread at most one wake-up. Thread-safe; must outlive the io_context's
// handlers (the drain refers to it).
class CompletionInbox {
 public:
  explicit CompletionInbox(asio::io_context& io) : io_(io) {}
  CompletionInbox(const CompletionInbox&) = delete;
  CompletionInbox& operator=(const CompletionInbox&) = delete;

  // From any thread; `done` runs on the io_context's thread and must not
  // throw.
  void Add(std::function<void()> done) EXCLUDES(mutex_);

 private:
  void Drain() EXCLUDES(mutex_);

  asio::io_context& io_;
  Mutex mutex_;
  std::vector<std::function<void()>> items_ GUARDED_BY(mutex_);
  bool scheduled_ GUARDED_BY(mutex_) = false;  // a drain is posted
};

}  // namespace kvx

#endif  // KVX_SERVER_COMPLETION_INBOX_H_
