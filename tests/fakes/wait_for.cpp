#include "fakes/wait_for.h"

#include <thread>

namespace kvx {

bool WaitFor(const std::function<bool()>& done,
             std::chrono::milliseconds timeout,
             std::chrono::milliseconds interval) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(interval);
  }
}

}  // namespace kvx
