#include "platform/thread_name.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <thread>

namespace kvx {
namespace {

// The name the system shows for the calling thread.
std::string OwnThreadName() {
  std::ifstream comm("/proc/thread-self/comm");
  std::string name;
  std::getline(comm, name);
  return name;
}

TEST(ThreadNameTest, NamesTheCallingThreadCuttingAtFifteenBytes) {
  struct Case {
    std::string name;
    std::string want;
  } cases[] = {{"kvx-archive", "kvx-archive"},
               {"fifteen-bytes-x", "fifteen-bytes-x"},
               {"a-name-longer-than-the-system-keeps", "a-name-longer-t"}};
  for (const auto& c : cases) {
    std::string shown;
    std::thread([&] {
      SetThreadName(c.name);
      shown = OwnThreadName();
    }).join();
    EXPECT_EQ(shown, c.want) << c.name;
  }
}

}  // namespace
}  // namespace kvx
