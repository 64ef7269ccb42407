// Control signals read on the signal thread and posted as control codes.
#include "platform/signals.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

namespace kvx {
namespace {

class CodeQueue {
 public:
  void Post(int code) {
    std::scoped_lock lock(mutex_);
    codes_.push_back(code);
    cv_.notify_all();
  }
  // The next posted code, or 0 after five seconds without one.
  int Next() {
    std::unique_lock lock(mutex_);
    if (!cv_.wait_for(lock, std::chrono::seconds(5),
                      [this] { return !codes_.empty(); })) {
      return 0;
    }
    const int code = codes_.front();
    codes_.pop_front();
    return code;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<int> codes_;
};

TEST(SignalThreadTest, PostsTheControlCodeOfEachSignal) {
  BlockControlSignals();
  CodeQueue queue;
  SignalThread thread([&queue](int code) { queue.Post(code); });
  const std::pair<int, int> cases[] = {
      {SIGTERM, kControlStop},        {SIGINT, kControlStop},
      {SIGTSTP, kControlPause},       {SIGCONT, kControlContinue},
      {SIGUSR1, kControlInterrogate}, {SIGPWR, kControlShutdown},
      {SIGHUP, kControlReload},
  };
  for (const auto& [sig, code] : cases) {
    // To the process, as systemd and kill(1) send them.
    ASSERT_EQ(::kill(::getpid(), sig), 0);
    EXPECT_EQ(queue.Next(), code) << "signal " << sig;
  }
}

TEST(SignalThreadTest, IgnoresSigpipeAndSigxfszAndEndsPromptly) {
  BlockControlSignals();
  {
    CodeQueue queue;
    SignalThread thread([&queue](int code) { queue.Post(code); });
    // A default SIGPIPE or SIGXFSZ would end the test program here.
    ASSERT_EQ(::kill(::getpid(), SIGPIPE), 0);
    ASSERT_EQ(::kill(::getpid(), SIGXFSZ), 0);
    ASSERT_EQ(::kill(::getpid(), SIGUSR1), 0);
    EXPECT_EQ(queue.Next(), kControlInterrogate);
  }  // the destructor must wake and join the thread
  SUCCEED();
}

}  // namespace
}  // namespace kvx
