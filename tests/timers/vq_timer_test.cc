#include "timers/vq_timer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "base/errors.h"
#include "support/manual_clock.h"

namespace vqflow {
namespace {

using ::testing::HasSubstr;

class VqTimerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SchedulerSetup setup;
    setup.zone = named_time_zone("UTC");
    setup.clock = clock_;
    setup.jitter_seed = 7;
    setup.run_playbook = [this](const Value& uuid, const std::string&, JobDone done) {
      runs_.push_back(uuid);
      done();
    };
    vq_timer.create_scheduler(setup);
    vq_timer.start();
  }
  void TearDown() override { vq_timer.scheduler.reset(); }

  void advance(std::chrono::seconds by) {
    clock_->advance(by);
    vq_timer.scheduler->run_due_jobs();
  }
  std::string trigger_of(const std::string& id) { return vq_timer.scheduler->get_job(id)->trigger; }

  std::shared_ptr<test::ManualClock> clock_ = test::ManualClock::make(
      parse_date_time("2024-01-01 12:00:00", named_time_zone("UTC"), "now"));
  std::vector<Value> runs_;
};

TEST_F(VqTimerTest, IsOneInstance) {
  std::vector<VqTimer*> seen(8);
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) threads.emplace_back([&, i] { seen[i] = &VqTimer::instance(); });
  for (auto& t : threads) t.join();
  for (auto* p : seen) EXPECT_EQ(p, &vq_timer);
}

TEST_F(VqTimerTest, EveryOperationButCreateFailsWithoutAScheduler) {
  vq_timer.scheduler.reset();
  EXPECT_THROW(vq_timer.start(), Error);
  EXPECT_THROW(vq_timer.pause("t1"), Error);
  EXPECT_THROW(vq_timer.remove_job("t1"), Error);
  EXPECT_THROW(vq_timer.get_jobs(), Error);
  EXPECT_THROW(vq_timer.add_interval("seconds", 5, "pb", "t1"), Error);
  EXPECT_THROW(vq_timer.add_interval("Seconds", 5, "pb", "t1"), Error);
}

TEST_F(VqTimerTest, DateJobCallsTheRunWithThePlaybookIdAlone) {
  vq_timer.add_date("2024-01-01 12:00:30", "playbook-9", "timer-1");
  advance(std::chrono::seconds{30});
  EXPECT_EQ(runs_, std::vector<Value>{"playbook-9"});
}

TEST_F(VqTimerTest, UnitNamesMustMatchExactly) {
  vq_timer.add_interval("Seconds", 5, "pb", "t1");
  vq_timer.add_interval("months", 5, "pb", "t2");
  vq_timer.add_interval(nullptr, 5, "pb", "t3");
  EXPECT_TRUE(vq_timer.get_jobs().empty());
  vq_timer.add_interval("weeks", 2, "pb", "t4");
  EXPECT_EQ(trigger_of("t4"), "interval[14 days, 0:00:00]");
  vq_timer.update_interval("t4", "Weeks", 1);  // changes nothing
  EXPECT_EQ(trigger_of("t4"), "interval[14 days, 0:00:00]");
  vq_timer.update_interval("t4", "hours", 3);
  EXPECT_EQ(trigger_of("t4"), "interval[3:00:00]");
}

TEST_F(VqTimerTest, UpdateCronChecksTheFieldCountBeforeTouchingTheJob) {
  vq_timer.add_cron("0 12 * * *", "pb", "t1");
  for (auto [text, count] :
       std::vector<std::pair<const char*, int>>{{"0 12 * * * 2024", 6}, {"0 12 * *", 4}, {"", 0}}) {
    try {
      vq_timer.update_cron("t1", text);
      ADD_FAILURE() << text;
    } catch (const ValueError& e) {
      EXPECT_EQ(std::string(e.what()),
                "Wrong number of fields; got " + std::to_string(count) + ", expected 5");
    }
  }
  EXPECT_EQ(trigger_of("t1"), "cron[minute='0', hour='12', day='*', month='*', day_of_week='*']");
  vq_timer.update_cron("t1", "  */5 \t 1-3  *  jan\n mon-fri  ");
  EXPECT_EQ(trigger_of("t1"),
            "cron[minute='*/5', hour='1-3', day='*', month='jan', day_of_week='mon-fri']");
}

TEST_F(VqTimerTest, CrontabTextsAreReadAlikeOnBothPaths) {
  vq_timer.add_cron("0 0 * * *", "pb", "existing");
  const std::vector<std::string> texts = {"*/5 * * * *",       " 0  9-17/2 * * mon-fri ",
                                          "0 0 29 2 *",        "0 0 31 2 *",
                                          "60 * * * *",        "* * * * 7",
                                          "* * * * 8",         "0 0 * * * *",
                                          "0 0 * *",           "1,,2 * * * *",
                                          "0 0 1 jan,JUL sun", "5-1 * * * *"};
  int n = 0;
  for (const auto& text : texts) {
    std::string add_error, update_error;
    const std::string id = "new-" + std::to_string(n++);
    try {
      vq_timer.add_cron(text, "pb", id);
    } catch (const ValueError& e) {
      add_error = e.what();
    }
    try {
      vq_timer.update_cron("existing", text);
    } catch (const ValueError& e) {
      update_error = e.what();
    }
    EXPECT_EQ(add_error, update_error) << text;
    if (add_error.empty()) {
      // Same fields, same order.
      auto added = trigger_of(id);
      EXPECT_EQ(added, trigger_of("existing")) << text;
    }
  }
}

TEST_F(VqTimerTest, CronBoundsAndJitterApplyWhenAdded) {
  vq_timer.add_cron("0 * * * *", "pb", "t1", "2024-01-02 00:00:00", nullptr, 3);
  auto job = vq_timer.scheduler->get_job("t1");
  EXPECT_GE(*job->next_run_time,
            parse_date_time("2024-01-02 00:00:00", named_time_zone("UTC"), "x"));
  EXPECT_LE(*job->next_run_time,
            parse_date_time("2024-01-02 00:00:03", named_time_zone("UTC"), "x"));
}

TEST_F(VqTimerTest, RemovingAMissingJobIsFine) {
  EXPECT_NO_THROW(vq_timer.remove_job("never"));
  vq_timer.add_interval("seconds", 5, "pb", "t1");
  vq_timer.remove_job("t1");
  EXPECT_NO_THROW(vq_timer.remove_job("t1"));
  EXPECT_NO_THROW(vq_timer.remove_job(nullptr));
  EXPECT_TRUE(vq_timer.get_jobs().empty());
}

TEST_F(VqTimerTest, PauseAndResumeOfAMissingJobFail) {
  EXPECT_THROW(vq_timer.pause("nope"), JobLookupError);
  EXPECT_THROW(vq_timer.resume(nullptr), JobLookupError);
  EXPECT_THROW(vq_timer.update_date("nope", "2024-05-01 00:00:00"), JobLookupError);
  EXPECT_THROW(vq_timer.update_interval("nope", "seconds", 5), JobLookupError);
  EXPECT_THROW(vq_timer.update_cron("nope", "* * * * *"), JobLookupError);
}

TEST_F(VqTimerTest, AddsUnderATakenIdFail) {
  vq_timer.add_interval("seconds", 5, "pb", "t1");
  EXPECT_THROW(vq_timer.add_cron("* * * * *", "pb", "t1"), ConflictingIdError);
  EXPECT_THROW(vq_timer.add_date("2024-05-01 00:00:00", "pb", nullptr), ValueError);
}

TEST_F(VqTimerTest, PauseAllStopsEveryJobUntilResumeAll) {
  vq_timer.add_interval("seconds", 10, "a", "t1");
  vq_timer.add_interval("seconds", 10, "b", "t2");
  vq_timer.pause_all();
  advance(std::chrono::seconds{10});
  EXPECT_TRUE(runs_.empty());
  vq_timer.resume_all();
  vq_timer.scheduler->run_due_jobs();
  EXPECT_EQ(runs_.size(), 2u);
}

TEST_F(VqTimerTest, CreateSchedulerReplacesTheOldOne) {
  vq_timer.add_interval("seconds", 10, "a", "t1");
  auto old = vq_timer.scheduler;
  vq_timer.create_scheduler(SchedulerSetup{});
  EXPECT_NE(vq_timer.scheduler, old);
  EXPECT_FALSE(old->running());
  EXPECT_FALSE(vq_timer.scheduler->running());
  EXPECT_TRUE(vq_timer.get_jobs().empty());
}

}  // namespace
}  // namespace vqflow
