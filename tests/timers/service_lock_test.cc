#include "timers/service_lock.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/process_identity.h"
#include "stores/memory_kv_store.h"
#include "support/manual_clock.h"
#include "support/processes.h"

namespace vqflow {
namespace {

using ::testing::HasSubstr;

class ServiceLockTest : public ::testing::Test {
 protected:
  std::shared_ptr<test::ManualClock> clock_ = test::ManualClock::make();
  std::shared_ptr<KvStore> kv_ = make_memory_kv_store(clock_);
};

TEST_F(ServiceLockTest, ASecondHolderIsRefusedWithAClearError) {
  auto first = TimerServiceLock::acquire(kv_, {});
  try {
    TimerServiceLock::acquire(kv_, {});
    ADD_FAILURE();
  } catch (const ServiceLockError& e) {
    EXPECT_THAT(e.what(), HasSubstr("another process already runs the timers of this database"));
    EXPECT_THAT(e.what(), HasSubstr(first->token()));
    EXPECT_THAT(e.what(), HasSubstr("--no-timers"));
  }
  first->release();
  EXPECT_FALSE(kv_->exists("vqflow:timer-service-lock"));
  EXPECT_NO_THROW(TimerServiceLock::acquire(kv_, {}));
}

TEST_F(ServiceLockTest, ReleasedWhenTheHolderGoesAway) {
  { auto lock = TimerServiceLock::acquire(kv_, {}); }
  EXPECT_NO_THROW(TimerServiceLock::acquire(kv_, {}));
}

TEST_F(ServiceLockTest, ADeadHoldersLockExpiresAndTheOldHolderLearnsItLostIt) {
  bool lost = false;
  auto stale = TimerServiceLock::acquire(kv_, {}, {}, [&] { lost = true; });
  clock_->advance(std::chrono::seconds(29));
  EXPECT_TRUE(stale->renew());  // still alive: extended by another 30 s
  clock_->advance(std::chrono::seconds(29));
  EXPECT_THROW(TimerServiceLock::acquire(kv_, {}), ServiceLockError);
  clock_->advance(std::chrono::seconds(31));  // the holder stopped renewing: the key expires
  auto next = TimerServiceLock::acquire(kv_, {});
  EXPECT_FALSE(stale->renew());
  EXPECT_TRUE(lost);
  EXPECT_FALSE(stale->held());
  stale.reset();  // must not delete the new holder's key
  EXPECT_EQ(kv_->get("vqflow:timer-service-lock"), next->token());
}

TEST_F(ServiceLockTest, AnExpiredLockNobodyTookIsTakenBack) {
  auto lock = TimerServiceLock::acquire(kv_, {});
  clock_->advance(std::chrono::seconds(31));
  EXPECT_TRUE(lock->renew());
  EXPECT_EQ(kv_->get("vqflow:timer-service-lock"), lock->token());
}

// The token a holder that has died on this host left behind.
std::string dead_holders_token() {
  ProcessIdentity dead = this_process();
  dead.pid = test::dead_pid();
  return "process " + dead.text() + " since 2026-01-01 00:00:00 (abcdefghij)";
}

TEST_F(ServiceLockTest, ALockOfAHolderThatDiedOnThisHostIsTakenAtOnceByOneContender) {
  const std::string dead = dead_holders_token();
  kv_->set("vqflow:timer-service-lock", dead, 30);
  auto next = TimerServiceLock::acquire(kv_, {});
  EXPECT_EQ(kv_->get("vqflow:timer-service-lock"), next->token());
  // A second contender that still saw the dead token does not take it too.
  kv_->set("vqflow:timer-service-lock", dead, 30);
  EXPECT_THROW(TimerServiceLock::acquire(kv_, {}), ServiceLockError);
}

TEST_F(ServiceLockTest, ALiveOrUnknownHolderIsWaitedFor) {
  auto live = TimerServiceLock::acquire(kv_, {});
  EXPECT_THAT(live->token(), HasSubstr(this_process().text()));
  EXPECT_THROW(TimerServiceLock::acquire(kv_, {}), ServiceLockError);
  live.reset();
  kv_->set("vqflow:timer-service-lock", "host h pid 1 since 2026-01-01 00:00:00 (x)", 30);
  EXPECT_THROW(TimerServiceLock::acquire(kv_, {}), ServiceLockError);
}

}  // namespace
}  // namespace vqflow
