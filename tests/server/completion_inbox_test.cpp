#include "server/completion_inbox.h"

#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <thread>
#include <vector>

namespace kvx {
namespace {

// Outcomes added from another thread run on the io thread, all of them, in
// the order added; those added while a drain is pending join it, so a
// burst costs the io thread one handler, not one per outcome.
TEST(CompletionInboxTest, RunsEverythingInOrderOnTheIoThreadInFewDrains) {
  asio::io_context io(1);
  CompletionInbox inbox(io);
  std::vector<int> ran;  // only touched on the io thread
  std::thread::id io_thread;
  bool other_thread = false;
  std::thread producer([&] {
    for (int i = 0; i < 1000; ++i) {
      inbox.Add([&, i] {
        if (std::this_thread::get_id() != io_thread) other_thread = true;
        ran.push_back(i);
      });
    }
  });
  producer.join();
  // Nothing ran yet: no thread runs the context. Every outcome waits in
  // the one drain posted by the first.
  EXPECT_TRUE(ran.empty());
  std::thread runner([&] {
    io_thread = std::this_thread::get_id();
    EXPECT_EQ(io.run(), 1u);
  });
  runner.join();
  ASSERT_EQ(ran.size(), 1000u);
  for (int i = 0; i < 1000; ++i) EXPECT_EQ(ran[i], i);
  EXPECT_FALSE(other_thread);
  // After a drain, the next outcome posts a drain of its own.
  io.restart();
  inbox.Add([&] { ran.push_back(1000); });
  EXPECT_EQ(io.run(), 1u);
  EXPECT_EQ(ran.back(), 1000);
}

}  // namespace
}  // namespace kvx
