#include "run/run_tracker.h"

#include <gtest/gtest.h>

#include <thread>

namespace vqflow {
namespace {

using std::chrono::milliseconds;

TEST(RunTracker, BoundIsCheckedAndCountedInOneStep) {
  RunTracker tracker;
  const std::uint64_t first = tracker.begin_within("a", 2);
  ASSERT_NE(first, 0u);
  ASSERT_NE(tracker.begin("b"), 0u);  // begin has no bound
  EXPECT_EQ(tracker.begin_within("c", 2), 0u);
  EXPECT_EQ(tracker.in_progress(), 2u);
  tracker.name(first, "only-id-a");
  tracker.finish(12345);  // unknown: ignored
  EXPECT_EQ(tracker.runs().front().only_id, "only-id-a");
  tracker.finish(first);
  EXPECT_NE(tracker.begin_within("c", 2), 0u);
}

TEST(RunTracker, WaitIdleReturnsWhenTheLastRunClosesElsewhere) {
  RunTracker tracker;
  EXPECT_TRUE(tracker.wait_idle(milliseconds(0)));
  const std::uint64_t a = tracker.begin("a");
  const std::uint64_t b = tracker.begin("b");
  EXPECT_FALSE(tracker.wait_idle(milliseconds(0)));
  std::thread closer([&] {
    tracker.finish(a);
    tracker.finish(b);
  });
  EXPECT_TRUE(tracker.wait_idle(std::chrono::seconds(20)));
  closer.join();
  EXPECT_EQ(tracker.in_progress(), 0u);
}

}  // namespace
}  // namespace vqflow
