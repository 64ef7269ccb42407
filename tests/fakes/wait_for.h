// Polling for a condition that another thread or process makes true.
#ifndef KVX_TESTS_FAKES_WAIT_FOR_H_
#define KVX_TESTS_FAKES_WAIT_FOR_H_

#include <chrono>
#include <functional>

namespace kvx {

// Calls `done` every `interval` until it returns true (true) or `timeout`
// has passed (false). `done` is called at least once.
bool WaitFor(const std::function<bool()>& done,
             std::chrono::milliseconds timeout = std::chrono::seconds(10),
             std::chrono::milliseconds interval = std::chrono::milliseconds(5));

}  // namespace kvx

#endif  // KVX_TESTS_FAKES_WAIT_FOR_H_
