#include "scheduler/scheduler.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "base/errors.h"
#include "support/manual_clock.h"

namespace vqflow {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;

const date::time_zone* utc() { return named_time_zone("UTC"); }
const date::time_zone* new_york() { return named_time_zone("America/New_York"); }

TimePoint at(const char* text, const date::time_zone* zone = nullptr) {
  return parse_date_time(text, zone != nullptr ? zone : utc(), "test");
}

std::string local(std::optional<TimePoint> when, const date::time_zone* zone = nullptr) {
  if (!when) return "none";
  return format_local_time(*when, zone != nullptr ? zone : utc());
}

// --- date-time texts ---

TEST(SchedulerTimeTest, ReadsPlainAndIsoDateTimes) {
  struct Case {
    const char* text;
    const char* utc_expected;
  };
  const std::vector<Case> cases = {
      {"2024-05-01 10:00:00", "2024-05-01 14:00:00"},  // New York local, EDT
      {"2024-01-15 10:00:00", "2024-01-15 15:00:00"},  // EST
      {"2024-05-01 10:00", "2024-05-01 14:00:00"},
      {"2024-05-01", "2024-05-01 04:00:00"},
      {"  2024-05-01 10:00:00\n", "2024-05-01 14:00:00"},
      {"2024-05-01T10:00:00Z", "2024-05-01 10:00:00"},
      {"2024-05-01t10:00:00z", "2024-05-01 10:00:00"},
      {"2024-05-01T10:00:00.999999Z", "2024-05-01 10:00:00"},
      {"2024-05-01T10:00:00+02:00", "2024-05-01 08:00:00"},
      {"2024-05-01T10:00:00.5-0130", "2024-05-01 11:30:00"},
      {"2024-05-01T10:00:00+02", "2024-05-01 08:00:00"},
      {"2024-05-01 10:00:00+00:00", "2024-05-01 10:00:00"},
      {"2024-03-10 02:30:00", "2024-03-10 07:30:00"},  // skipped: 03:30 EDT
      {"2024-11-03 01:30:00", "2024-11-03 05:30:00"},  // repeated: first pass, EDT
      {"2024-02-29 00:00:00", "2024-02-29 05:00:00"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(local(parse_date_time(c.text, new_york(), "run_date")), c.utc_expected) << c.text;
  }
  EXPECT_EQ(parse_date_time("2024-05-01T10:00:00.25Z", utc(), "x") -
                parse_date_time("2024-05-01T10:00:00Z", utc(), "x"),
            250ms);
}

TEST(SchedulerTimeTest, RefusesOtherTextsNamingTheField) {
  for (const char* text : {"", "   ", "10:00", "2024-13-01", "2024-02-30", "2023-02-29", "2024-5-1",
                           "2024-05-01 25:00:00", "2024-05-01 10:60:00", "2024-05-01 10:00:00 junk",
                           "2024-05-01T10:00:00+25:00", "2024-05-01T10:00:00.",
                           "2024-05-01T10:00:00.1234567890Z", "tomorrow", "2024-05-01 10"}) {
    try {
      parse_date_time(text, utc(), "start_date");
      ADD_FAILURE() << "accepted: " << text;
    } catch (const ValueError& e) {
      EXPECT_THAT(e.what(), HasSubstr("start_date: ")) << text;
    }
  }
}

// --- triggers ---

TEST(TriggerTest, IntervalCountsFromStartDateOrFromNow) {
  TriggerContext context{utc(), at("2024-01-01 12:00:00")};
  auto plain = make_trigger("interval", {{"minutes", 10}}, context);
  EXPECT_EQ(local(plain->next_fire_time(std::nullopt, context.now)), "2024-01-01 12:10:00");
  EXPECT_EQ(local(plain->next_fire_time(at("2024-01-01 12:10:00"), context.now)),
            "2024-01-01 12:20:00");
  // Skips forward to the first fire time not before `earliest`, on the grid.
  EXPECT_EQ(local(plain->next_fire_time(at("2024-01-01 12:10:00"), at("2024-01-01 13:05:00"))),
            "2024-01-01 13:10:00");

  auto bounded = make_trigger(
      "interval",
      {{"hours", "2"}, {"start_date", "2024-01-01 09:30:00"}, {"end_date", "2024-01-01 15:30:00"}},
      context);
  EXPECT_EQ(local(bounded->next_fire_time(std::nullopt, context.now)), "2024-01-01 13:30:00");
  EXPECT_EQ(local(bounded->next_fire_time(at("2024-01-01 13:30:00"), context.now)),
            "2024-01-01 15:30:00");
  EXPECT_EQ(local(bounded->next_fire_time(at("2024-01-01 15:30:00"), context.now)), "none");

  auto future =
      make_trigger("interval", {{"weeks", 1}, {"start_date", "2024-02-01 00:00:00"}}, context);
  EXPECT_EQ(local(future->next_fire_time(std::nullopt, context.now)), "2024-02-01 00:00:00");
  EXPECT_EQ(future->describe(), "interval[7 days, 0:00:00]");
  EXPECT_EQ(make_trigger("interval", {{"seconds", 10}}, context)->describe(), "interval[0:00:10]");
}

TEST(TriggerTest, BlankBoundsMeanUnbounded) {
  TriggerContext context{utc(), at("2024-01-01 12:00:00")};
  auto trigger =
      make_trigger("interval", {{"seconds", 30}, {"start_date", ""}, {"end_date", " "}}, context);
  EXPECT_EQ(local(trigger->next_fire_time(std::nullopt, context.now)), "2024-01-01 12:00:30");
}

TEST(TriggerTest, RefusesBadFields) {
  TriggerContext context{utc(), at("2024-01-01 12:00:00")};
  struct Case {
    const char* kind;
    Value fields;
    const char* message_part;
  };
  const std::vector<Case> cases = {
      {"interval", Value::object(), "exactly one of weeks"},
      {"interval", {{"seconds", 1}, {"minutes", 1}}, "exactly one of weeks"},
      {"interval", {{"seconds", 0}}, "seconds: 0 is out of range"},
      {"interval", {{"seconds", -5}}, "seconds: -5 is out of range"},
      {"interval", {{"weeks", 100000}}, "weeks: 100000 is out of range"},
      {"interval", {{"seconds", "ten"}}, "seconds: 'ten' is not a whole number"},
      {"interval", {{"seconds", 1}, {"jitter", -1}}, "jitter: -1 is out of range"},
      {"interval", {{"seconds", 1}, {"jitter", "2.5"}}, "jitter: '2.5' is not a whole number"},
      {"interval", {{"months", 1}}, "unknown field \"months\""},
      {"interval", {{"seconds", 1}, {"start_date", 5}}, "start_date: expected a date-time text"},
      {"interval", {{"seconds", 1}, {"end_date", "soon"}}, "end_date: \"soon\" is not a date-time"},
      {"date", Value::object(), "run_date: expected a date-time text, got None"},
      {"date", {{"run_date", ""}}, "run_date: \"\" is not a date-time"},
      {"cron", {{"minute", "61"}}, "minute \"61\""},
      {"cron", {{"second", "1"}}, "unknown field \"second\""},
      {"weekly", Value::object(), "unknown kind \"weekly\""},
  };
  for (const auto& c : cases) {
    try {
      make_trigger(c.kind, c.fields, context);
      ADD_FAILURE() << "accepted: " << c.kind << " " << c.fields.dump();
    } catch (const ValueError& e) {
      EXPECT_THAT(e.what(), HasSubstr(c.message_part)) << c.fields.dump();
    }
  }
}

TEST(TriggerTest, CronBoundsApplyOnBothPaths) {
  auto from_text = CronTrigger::from_crontab("0 12 * * *", "2024-03-01 00:00:00",
                                             "2024-03-02 23:00:00", 0, utc());
  auto from_fields = make_trigger("cron",
                                  {{"minute", "0"},
                                   {"hour", "12"},
                                   {"start_date", "2024-03-01 00:00:00"},
                                   {"end_date", "2024-03-02 23:00:00"}},
                                  TriggerContext{utc(), at("2024-01-01 00:00:00")});
  for (const Trigger* trigger : {static_cast<const Trigger*>(from_text.get()), from_fields.get()}) {
    auto first = trigger->next_fire_time(std::nullopt, at("2024-01-01 00:00:00"));
    EXPECT_EQ(local(first), "2024-03-01 12:00:00");
    auto second = trigger->next_fire_time(first, at("2024-01-01 00:00:00"));
    EXPECT_EQ(local(second), "2024-03-02 12:00:00");
    EXPECT_EQ(local(trigger->next_fire_time(second, *second)), "none");
  }
  EXPECT_EQ(from_text->describe(),
            "cron[minute='0', hour='12', day='*', month='*', day_of_week='*', "
            "start_date='2024-03-01 00:00:00', end_date='2024-03-02 23:00:00']");
}

// --- the scheduler, on a manual clock ---

class SchedulerTest : public ::testing::Test {
 protected:
  std::shared_ptr<GeventScheduler> make(SchedulerOptions options = {}) {
    options.clock = clock_;
    if (options.zone == nullptr) options.zone = utc();
    if (!options.jitter_seed) options.jitter_seed = 42;
    auto scheduler = GeventScheduler::create({}, std::move(options));
    scheduler->start();
    return scheduler;
  }
  // A job that records its calls and finishes them at once.
  JobFunction recorder(const std::string& name) {
    return [this, name](const std::vector<Value>& args, JobDone done) {
      calls_.push_back(name + "(" + (args.empty() ? "" : text_form(args.front())) + ")@" +
                       format_local_time(now_of(*clock_), utc()));
      done();
    };
  }
  // A job that keeps its calls open until the test finishes them.
  JobFunction holder() {
    return [this](const std::vector<Value>&, JobDone done) { open_.push_back(std::move(done)); };
  }
  void advance_to(const char* text, GeventScheduler& s) {
    clock_->set_wall(at(text));
    s.run_due_jobs();
  }

  std::shared_ptr<test::ManualClock> clock_ = test::ManualClock::make(at("2024-01-01 12:00:00"));
  std::vector<std::string> calls_;
  std::vector<JobDone> open_;
};

TEST_F(SchedulerTest, IntervalJobFiresOnItsGridWithItsArguments) {
  auto s = make();
  s->add_job(recorder("run"), "interval", {{"seconds", 10}}, "t1", {"playbook-1"});
  EXPECT_EQ(local(s->next_wakeup()), "2024-01-01 12:00:10");
  advance_to("2024-01-01 12:00:09", *s);
  EXPECT_TRUE(calls_.empty());
  advance_to("2024-01-01 12:00:10", *s);
  advance_to("2024-01-01 12:00:21", *s);
  EXPECT_EQ(calls_, (std::vector<std::string>{"run(playbook-1)@2024-01-01 12:00:10",
                                              "run(playbook-1)@2024-01-01 12:00:21"}));
  EXPECT_EQ(local(s->get_job("t1")->next_run_time), "2024-01-01 12:00:30");
}

TEST_F(SchedulerTest, HeldUpFireTimesEachGetTheirCallUnlessTooLate) {
  SchedulerOptions options;
  options.max_instances = 10;
  options.misfire_grace_time = 30s;
  auto s = make(options);
  s->add_job(recorder("run"), "interval", {{"seconds", 10}}, "t1", {"p"});
  advance_to("2024-01-01 12:00:35", *s);  // 12:00:10, :20, :30 were due
  EXPECT_EQ(calls_.size(), 3u);
  calls_.clear();
  advance_to("2024-01-01 12:10:00", *s);  // only those within 30 s of now still run
  EXPECT_EQ(calls_.size(), 4u);           // 12:09:30 (late by exactly 30 s), :40, :50, 12:10:00
  EXPECT_EQ(local(s->get_job("t1")->next_run_time), "2024-01-01 12:10:10");
}

TEST_F(SchedulerTest, CoalesceRunsOnceForSeveralDueTimes) {
  SchedulerOptions options;
  options.coalesce = true;
  options.max_instances = 10;
  auto s = make(options);
  s->add_job(recorder("run"), "interval", {{"seconds", 10}}, "t1", {"p"});
  advance_to("2024-01-01 12:00:35", *s);
  EXPECT_EQ(calls_.size(), 1u);
}

TEST_F(SchedulerTest, MaxInstancesCountsCallsUntilTheyAreDone) {
  SchedulerOptions options;
  options.max_instances = 2;
  auto s = make(options);
  s->add_job(holder(), "interval", {{"seconds", 10}}, "t1", {"p"});
  advance_to("2024-01-01 12:00:10", *s);
  advance_to("2024-01-01 12:00:20", *s);
  advance_to("2024-01-01 12:00:30", *s);  // a third would exceed max_instances: skipped
  EXPECT_EQ(open_.size(), 2u);
  open_[0]();
  open_[0]();  // a second done of the same call changes nothing
  advance_to("2024-01-01 12:00:40", *s);
  advance_to("2024-01-01 12:00:50", *s);
  EXPECT_EQ(open_.size(), 3u);
}

TEST_F(SchedulerTest, AJobThatThrowsIsLoggedAndReleased) {
  auto s = make();
  int calls = 0;
  s->add_job(
      [&](const std::vector<Value>&, JobDone) {
        ++calls;
        throw std::runtime_error("boom");
      },
      "interval", {{"seconds", 10}}, "t1", {});
  advance_to("2024-01-01 12:00:10", *s);
  advance_to("2024-01-01 12:00:20", *s);
  EXPECT_EQ(calls, 2);  // max_instances 1: the first call counts as done
}

TEST_F(SchedulerTest, DateJobRunsOnceAndStaysListedWithoutNextRun) {
  auto s = make();
  s->add_job(recorder("once"), "date", {{"run_date", "2024-01-01 12:05:00"}}, "d1", {"pb"});
  advance_to("2024-01-01 12:05:00", *s);
  advance_to("2024-01-01 13:00:00", *s);
  EXPECT_EQ(calls_, (std::vector<std::string>{"once(pb)@2024-01-01 12:05:00"}));
  auto job = s->get_job("d1");
  ASSERT_TRUE(job);
  EXPECT_FALSE(job->next_run_time);
  // Still a job: pause and resume work, and it does not run again.
  s->pause_job("d1");
  s->resume_job("d1");
  advance_to("2024-01-01 13:00:01", *s);
  EXPECT_EQ(calls_.size(), 1u);
}

TEST_F(SchedulerTest, PastDateRunsWithinTheGraceTimeOnly) {
  auto s = make();
  s->add_job(recorder("recent"), "date", {{"run_date", "2024-01-01 11:59:50"}}, "d1", {});
  s->add_job(recorder("old"), "date", {{"run_date", "2024-01-01 11:00:00"}}, "d2", {});
  s->run_due_jobs();
  EXPECT_EQ(calls_, (std::vector<std::string>{"recent()@2024-01-01 12:00:00"}));
}

TEST_F(SchedulerTest, PausedJobsDoNotFireAndResumeFromNow) {
  auto s = make();
  s->add_job(recorder("run"), "interval", {{"seconds", 10}}, "t1", {});
  s->pause_job("t1");
  EXPECT_FALSE(s->get_job("t1")->next_run_time);
  EXPECT_TRUE(s->get_job("t1")->paused);
  advance_to("2024-01-01 12:05:00", *s);
  EXPECT_TRUE(calls_.empty());
  s->resume_job("t1");
  EXPECT_EQ(local(s->get_job("t1")->next_run_time), "2024-01-01 12:05:00");
  advance_to("2024-01-01 12:05:00", *s);
  EXPECT_EQ(calls_.size(), 1u);  // no catch-up of the paused stretch
}

TEST_F(SchedulerTest, PausingTheSchedulerStopsEveryJob) {
  auto s = make();
  s->add_job(recorder("a"), "interval", {{"seconds", 10}}, "a", {});
  s->add_job(recorder("b"), "interval", {{"seconds", 10}}, "b", {});
  s->pause();
  EXPECT_FALSE(s->get_job("a")->next_run_time);  // listed as not running
  EXPECT_FALSE(s->get_job("a")->paused);         // the job itself is not paused
  advance_to("2024-01-01 12:00:10", *s);
  EXPECT_TRUE(calls_.empty());
  s->resume();
  s->run_due_jobs();
  EXPECT_EQ(calls_.size(), 2u);
}

TEST_F(SchedulerTest, RescheduleReplacesTheTriggerAndKeepsAPausedJobPaused) {
  auto s = make();
  s->add_job(recorder("run"), "interval", {{"seconds", 10}}, "t1", {});
  s->reschedule_job("t1", std::nullopt, "cron", {{"minute", "30"}});
  EXPECT_EQ(local(s->get_job("t1")->next_run_time), "2024-01-01 12:30:00");
  EXPECT_EQ(s->get_job("t1")->trigger,
            "cron[minute='30', hour='*', day='*', month='*', day_of_week='*']");
  s->pause_job("t1");
  s->reschedule_job("t1", std::nullopt, "interval", {{"minutes", 1}});
  EXPECT_TRUE(s->get_job("t1")->paused);
  EXPECT_EQ(s->get_job("t1")->trigger, "interval[0:01:00]");
  // A refused trigger leaves the job as it was.
  EXPECT_THROW(s->reschedule_job("t1", std::nullopt, "cron", {{"hour", "25"}}), ValueError);
  EXPECT_EQ(s->get_job("t1")->trigger, "interval[0:01:00]");
  EXPECT_THROW(s->reschedule_job("t1", std::string("other"), "interval", {{"minutes", 1}}),
               ValueError);
}

TEST_F(SchedulerTest, UnknownIdsFailWithALookupErrorNamingTheId) {
  auto s = make();
  for (auto op : std::vector<std::function<void()>>{
           [&] { s->pause_job("nope-1"); }, [&] { s->resume_job("nope-1"); },
           [&] { s->remove_job("nope-1"); },
           [&] {
             s->reschedule_job("nope-1", std::nullopt, "interval", {{"seconds", 1}});
           }}) {
    try {
      op();
      ADD_FAILURE();
    } catch (const JobLookupError& e) {
      EXPECT_THAT(e.what(), HasSubstr("nope-1"));
    }
  }
}

TEST_F(SchedulerTest, ATakenIdIsRefused) {
  auto s = make();
  s->add_job(recorder("a"), "interval", {{"seconds", 10}}, "t1", {});
  EXPECT_THROW(s->add_job(recorder("b"), "interval", {{"seconds", 5}}, "t1", {}),
               ConflictingIdError);
  EXPECT_EQ(s->get_job("t1")->trigger, "interval[0:00:10]");
  EXPECT_THROW(s->add_job(recorder("c"), "interval", {{"seconds", 5}}, "", {}), ValueError);
}

TEST_F(SchedulerTest, RemovedJobsAreGoneAndTheirOpenCallsDoNotLeak) {
  auto s = make();
  s->add_job(holder(), "interval", {{"seconds", 10}}, "t1", {});
  advance_to("2024-01-01 12:00:10", *s);
  s->remove_job("t1");
  EXPECT_FALSE(s->has_job("t1"));
  s->add_job(holder(), "interval", {{"seconds", 10}}, "t1", {});
  open_[0]();  // the removed job's call ends: must not count for the new job
  advance_to("2024-01-01 12:00:20", *s);
  EXPECT_EQ(open_.size(), 2u);
}

TEST_F(SchedulerTest, JobsAreListedByNextRunTimeThenPaused) {
  auto s = make();
  EXPECT_TRUE(s->get_jobs().empty());
  s->add_job(recorder("a"), "interval", {{"minutes", 5}}, "a", {"pa"});
  s->add_job(recorder("b"), "interval", {{"minutes", 1}}, "b", {"pb"});
  s->add_job(recorder("c"), "interval", {{"minutes", 3}}, "c", {"pc"});
  s->pause_job("b");
  auto jobs = s->get_jobs();
  ASSERT_EQ(jobs.size(), 3u);
  EXPECT_EQ(jobs[0].id, "c");
  EXPECT_EQ(jobs[1].id, "a");
  EXPECT_EQ(jobs[2].id, "b");
  EXPECT_EQ(jobs[2].args, std::vector<Value>{"pb"});
}

TEST_F(SchedulerTest, JitterDelaysWithinItsBoundAndSpreads) {
  auto s = make();
  for (int i = 0; i < 20; ++i) {
    s->add_job(recorder("j"), "interval", {{"seconds", 60}, {"jitter", 5}}, "j" + std::to_string(i),
               {});
  }
  std::set<TimePoint> distinct;
  for (const auto& job : s->get_jobs()) {
    ASSERT_TRUE(job.next_run_time);
    EXPECT_GE(*job.next_run_time, at("2024-01-01 12:01:00"));
    EXPECT_LE(*job.next_run_time, at("2024-01-01 12:01:05"));
    distinct.insert(*job.next_run_time);
  }
  EXPECT_GT(distinct.size(), 10u);
  // The grid does not drift with the jitter.
  advance_to("2024-01-01 12:01:05", *s);
  for (const auto& job : s->get_jobs()) {
    EXPECT_GE(*job.next_run_time, at("2024-01-01 12:02:00"));
    EXPECT_LE(*job.next_run_time, at("2024-01-01 12:02:05"));
  }
}

TEST_F(SchedulerTest, NothingFiresBeforeStartOrAfterShutdown) {
  SchedulerOptions options;
  options.clock = clock_;
  options.zone = utc();
  auto s = GeventScheduler::create({}, options);
  s->add_job(recorder("run"), "interval", {{"seconds", 10}}, "t1", {});
  clock_->set_wall(at("2024-01-01 12:00:10"));
  s->run_due_jobs();
  EXPECT_TRUE(calls_.empty());
  s->start();
  EXPECT_THROW(s->start(), Error);
  s->run_due_jobs();
  EXPECT_EQ(calls_.size(), 1u);
  s->shutdown();
  advance_to("2024-01-01 12:00:20", *s);
  EXPECT_EQ(calls_.size(), 1u);
  EXPECT_TRUE(s->has_job("t1"));
}

TEST_F(SchedulerTest, RefusesBadOptions) {
  SchedulerOptions options;
  options.max_instances = 0;
  EXPECT_THROW(GeventScheduler::create({}, options), ValueError);
}

// --- on a real loop ---

TEST(SchedulerLoopTest, IntervalOfOneSecondFiresOnTheLoop) {
  boost::asio::io_context ioc;
  auto s = GeventScheduler::create(ioc.get_executor(), {});
  std::atomic<int> fired{0};
  std::thread::id loop_thread;
  s->add_job(
      [&](const std::vector<Value>& args, JobDone done) {
        EXPECT_EQ(args, std::vector<Value>{"pb"});
        loop_thread = std::this_thread::get_id();
        if (++fired == 2) ioc.stop();
        done();
      },
      "interval", {{"seconds", 1}}, "t1", {"pb"});
  s->start();
  ioc.run_for(10s);  // a safety net: the second fire stops the loop after ~2 s
  EXPECT_EQ(fired.load(), 2);
  EXPECT_EQ(loop_thread, std::this_thread::get_id());
  s->shutdown();
}

TEST(SchedulerLoopTest, OperationsFromAnotherThreadWakeTheLoop) {
  boost::asio::io_context ioc;
  auto guard = boost::asio::make_work_guard(ioc);
  auto s = GeventScheduler::create(ioc.get_executor(), {});
  s->start();
  std::thread loop([&] { ioc.run_for(10s); });
  std::atomic<bool> fired{false};
  // A date job due now, added from this thread while the loop sleeps with nothing queued.
  s->add_job(
      [&](const std::vector<Value>&, JobDone done) {
        fired = true;
        done();
        ioc.stop();
      },
      "date", {{"run_date", format_local_time(now_of(*real_clock()), s->zone())}}, "d1", {});
  loop.join();
  EXPECT_TRUE(fired.load());
}

}  // namespace
}  // namespace vqflow
