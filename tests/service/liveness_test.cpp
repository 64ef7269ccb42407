// Liveness: idle and moving workers are alive, a worker stuck on one piece
// of work longer than the limit is not, and it recovers when it finishes.
#include "service/liveness.h"

#include <gtest/gtest.h>

#include "fakes/fake_clock.h"
#include "platform/worker_progress.h"

namespace kvx {
namespace {

constexpr std::uint32_t kLimit = 30000;

TEST(LivenessTest, IdleAndMovingWorkersAreAliveAStuckOneIsNot) {
  FakeClock clock;
  WorkerProgress service, archive;
  Liveness liveness(clock, kLimit);
  liveness.Watch("service", service);
  liveness.Watch("archive", archive);

  // Idle for far longer than the limit: waiting for work is not a stall.
  clock.Advance(10 * kLimit);
  EXPECT_FALSE(liveness.Check());

  // Busy all the time, but finishing a piece between any two checks.
  archive.Begin();
  for (int i = 0; i < 10; ++i) {
    archive.End();
    archive.Begin();
    clock.Advance(kLimit);
    EXPECT_FALSE(liveness.Check()) << "check " << i;
  }
  archive.End();
  EXPECT_FALSE(liveness.Check());

  // One piece that does not finish: alive up to the limit, stalled after.
  archive.Begin();
  clock.Advance(15000);
  EXPECT_FALSE(liveness.Check());
  clock.Advance(15000);
  EXPECT_FALSE(liveness.Check()) << "exactly the limit is still alive";
  clock.Advance(1);
  auto stall = liveness.Check();
  ASSERT_TRUE(stall);
  EXPECT_EQ(stall->worker, "archive");
  EXPECT_EQ(stall->busy_ms, kLimit + 1);
  clock.Advance(15000);
  stall = liveness.Check();
  ASSERT_TRUE(stall);
  EXPECT_EQ(stall->busy_ms, kLimit + 15001);

  // Finishing it (and even starting the next piece) ends the stall.
  archive.End();
  archive.Begin();
  EXPECT_FALSE(liveness.Check());
  clock.Advance(kLimit);
  EXPECT_FALSE(liveness.Check());
  archive.End();
}

TEST(LivenessTest, NamesTheStuckWorkerAndKeepsWatchingTheOthers) {
  FakeClock clock;
  WorkerProgress service, archive;
  Liveness liveness(clock, kLimit);
  liveness.Watch("service", service);
  liveness.Watch("archive", archive);

  service.Begin();
  archive.Begin();
  clock.Advance(kLimit + 1);
  auto stall = liveness.Check();
  ASSERT_TRUE(stall);
  EXPECT_EQ(stall->worker, "service") << "the first watched of two stuck";

  service.End();
  stall = liveness.Check();
  ASSERT_TRUE(stall);
  EXPECT_EQ(stall->worker, "archive");
  EXPECT_EQ(stall->busy_ms, kLimit + 1);

  // The service thread was seen moving at the last check: a new piece it
  // starts has its own time.
  service.Begin();
  archive.End();
  clock.Advance(kLimit);
  EXPECT_FALSE(liveness.Check());
  service.End();
}

TEST(LivenessTest, MeasuresAcrossTheWrapOfTheTickCount) {
  FakeClock clock;
  clock.SetTick(0xFFFFFFFFu - 1000);
  WorkerProgress worker;
  worker.Begin();  // busy before it is watched
  Liveness liveness(clock, kLimit);
  liveness.Watch("worker", worker);
  clock.Advance(kLimit);  // wraps
  EXPECT_FALSE(liveness.Check());
  clock.Advance(1);
  const auto stall = liveness.Check();
  ASSERT_TRUE(stall);
  EXPECT_EQ(stall->busy_ms, kLimit + 1);
}

}  // namespace
}  // namespace kvx
