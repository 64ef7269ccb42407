#include "server/completion_inbox.h"

#include <asio/post.hpp>
#include <utility>

namespace kvx {

void CompletionInbox::Add(std::function<void()> done) {
  bool post = false;
  {
    MutexLock lock(mutex_);
    items_.push_back(std::move(done));
    post = !scheduled_;
    scheduled_ = true;
  }
  if (post) asio::post(io_, [this] { Drain(); });
}

void CompletionInbox::Drain() {
  std::vector<std::function<void()>> items;
  {
    MutexLock lock(mutex_);
    items.swap(items_);
    scheduled_ = false;
  }
  for (auto& item : items) item();
}

}  // namespace kvx
