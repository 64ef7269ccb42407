#include "platform/unique_fd.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <thread>
#include <utility>

namespace kvx {
namespace {

bool IsOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

int OpenNull() { return ::open("/dev/null", O_RDONLY | O_CLOEXEC); }

TEST(UniqueFdTest, ClosesWhatItHoldsOnceAndGivesUpWhatItReleases) {
  int fd = OpenNull();
  ASSERT_GE(fd, 0);
  { UniqueFd held(fd); }
  EXPECT_FALSE(IsOpen(fd)) << "closed at destruction";

  fd = OpenNull();
  {
    UniqueFd held(fd);
    EXPECT_EQ(held.release(), fd);
    EXPECT_FALSE(held.valid());
  }
  EXPECT_TRUE(IsOpen(fd)) << "released, so not closed";
  ::close(fd);

  const int first = OpenNull();
  const int second = OpenNull();
  UniqueFd held(first);
  held.reset(second);
  EXPECT_FALSE(IsOpen(first)) << "reset closes the one held before";
  held.reset(second);
  EXPECT_TRUE(IsOpen(second)) << "holding the same number again keeps it";

  UniqueFd moved(std::move(held));
  EXPECT_FALSE(held.valid());
  EXPECT_EQ(moved.get(), second);
  const int third = OpenNull();
  UniqueFd target(third);
  target = std::move(moved);
  EXPECT_FALSE(IsOpen(third)) << "a move into a holder closes its own";
  EXPECT_EQ(target.get(), second);
  EXPECT_EQ(target.Close(), 0);
  EXPECT_FALSE(IsOpen(second));
  EXPECT_EQ(target.Close(), 0) << "nothing held: nothing to close";
}

// After Close, failed or not, the number may be given to another file at
// once; the holder must never close it again.
TEST(UniqueFdTest, NeverClosesANumberTwiceEvenWhenTheCloseFailed) {
  struct Case {
    const char* name;
    bool open;  // whether the number held is an open descriptor
    int want_error;
  } cases[] = {{"a close that succeeds", true, 0},
               {"a close that fails", false, EBADF}};
  for (const auto& c : cases) {
    // The lowest free number: the next open gets it again.
    const int number = OpenNull();
    ASSERT_GE(number, 0);
    if (!c.open) ::close(number);
    int reused = -1;
    {
      UniqueFd held(number);
      EXPECT_EQ(held.Close(), c.want_error) << c.name;
      EXPECT_FALSE(held.valid()) << c.name;
      reused = OpenNull();
      ASSERT_EQ(reused, number) << c.name;
      EXPECT_EQ(held.Close(), 0) << c.name;
    }
    EXPECT_TRUE(IsOpen(reused)) << c.name << ": closed a second time";
    ::close(reused);
  }
}

std::atomic<int> interruptions{0};
void CountInterruption(int) { interruptions.fetch_add(1); }

// A blocked write into a full pipe, interrupted by signals again and again
// (without SA_RESTART): the write then returns short or fails with EINTR,
// and every byte must still arrive once, in order.
TEST(WriteAllTest, CompletesShortAndInterruptedWrites) {
  int ends[2];
  ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  UniqueFd reader(ends[0]);
  UniqueFd writer(ends[1]);
  ::fcntl(writer.get(), F_SETPIPE_SZ, 4096);

  struct sigaction action {};
  struct sigaction previous {};
  action.sa_handler = CountInterruption;
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(::sigaction(SIGUSR2, &action, &previous), 0);

  std::string data(512 * 1024, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) {
    data[i] = static_cast<char>(i * 7 + i / 251);
  }
  std::atomic<int> result{-1};
  std::thread writing([&] {
    result = WriteAll(writer.get(), data);
    writer.reset();  // the end of the data, for the reader
  });
  const pthread_t writing_thread = writing.native_handle();

  std::string received;
  char chunk[1000];
  for (;;) {
    if (result.load() < 0) pthread_kill(writing_thread, SIGUSR2);
    const ssize_t n = ::read(reader.get(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    ASSERT_GE(n, 0);
    if (n == 0) break;
    received.append(chunk, static_cast<std::size_t>(n));
  }
  writing.join();
  ::sigaction(SIGUSR2, &previous, nullptr);
  EXPECT_EQ(result.load(), 0);
  EXPECT_TRUE(received == data) << "bytes lost, repeated or reordered";
  EXPECT_GT(interruptions.load(), 0);
}

TEST(WriteAllTest, ReportsTheErrnoOfTheWriteThatFailed) {
  struct sigaction ignore {};
  struct sigaction previous {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGPIPE, &ignore, &previous), 0);

  int ends[2];
  ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  UniqueFd no_reader(ends[1]);
  ::close(ends[0]);
  UniqueFd full(::open("/dev/full", O_WRONLY | O_CLOEXEC));
  UniqueFd read_only(OpenNull());
  struct Case {
    const char* name;
    int fd;
    std::string bytes;
    int want;
  } cases[] = {
      {"a full device", full.get(), "x", ENOSPC},
      {"a descriptor opened for reading", read_only.get(), "x", EBADF},
      {"a pipe nobody reads", no_reader.get(), "x", EPIPE},
      {"nothing to write", -1, "", 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(WriteAll(c.fd, c.bytes), c.want) << c.name;
  }
  ::sigaction(SIGPIPE, &previous, nullptr);
}

}  // namespace
}  // namespace kvx
